// placeholder: filled by its owner
#pragma once
#include "nt_base.h"
