#include "folders/foldercombos.h"
