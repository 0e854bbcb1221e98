// The child-process core now lives in lib/util; this name stays only until
// the tool's includes follow it.
#pragma once

#include "util/child.hpp"
