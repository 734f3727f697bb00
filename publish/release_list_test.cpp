#include "publish/release_list.h"

#include <gtest/gtest.h>
