#include "platform_test.h"
