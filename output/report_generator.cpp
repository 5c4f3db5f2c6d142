#include "data/org_info.h"
