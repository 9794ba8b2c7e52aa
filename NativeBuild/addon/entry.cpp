// placeholder until the boundary lands
