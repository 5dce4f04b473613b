#include "wcs/Unit_WCS.h"
