#include "folders/checktoggle.h"
