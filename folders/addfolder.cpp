#include "folders/addfolder.h"
