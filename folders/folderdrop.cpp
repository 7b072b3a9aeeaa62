#include "folders/folderdrop.h"
