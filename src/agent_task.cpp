#include "agent_task.h"
