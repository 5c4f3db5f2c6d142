#include "tools/jet4_writer.h"
