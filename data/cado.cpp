#include "data/cado.h"
