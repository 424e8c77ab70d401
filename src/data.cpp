#include "data.hpp"

#include "errors.hpp"
