#include "handlers.h"
