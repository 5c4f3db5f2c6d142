#include "config/report_definition.h"
