#include "provenance.h"
