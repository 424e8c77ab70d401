#include "numpy_bridge.hpp"
