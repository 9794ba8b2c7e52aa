// Star registration: candidates, pattern matching, homographies and their checks.
#pragma once
