#include "image/Image_Model.h"
