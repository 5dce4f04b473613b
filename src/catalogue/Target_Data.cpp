#include "catalogue/Target_Data.h"
