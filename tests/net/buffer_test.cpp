#include "net/wsocket_buffer.h"
#include <gtest/gtest.h>
