// The driver tests' bus fixture, reachable under the name its source uses.
#pragma once
#include "../../driver/support/bus_rig.h"
