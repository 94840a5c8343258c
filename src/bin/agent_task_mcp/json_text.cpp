#include "json_text.h"
