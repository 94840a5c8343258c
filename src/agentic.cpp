#include "agentic.h"
