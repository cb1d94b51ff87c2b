#include "separation.hpp"
