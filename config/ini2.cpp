#include "config/ini2.h"
