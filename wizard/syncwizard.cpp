#include "wizard/syncwizard.h"
