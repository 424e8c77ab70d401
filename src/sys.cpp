#include "sys.hpp"
