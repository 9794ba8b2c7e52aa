// placeholder until the stand-in host lands
