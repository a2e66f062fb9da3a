// tessel.hpp — what a module file includes: the whole frame.
#pragma once

#include "compat.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "generator.hpp"
#include "module.hpp"
#include "ref.hpp"
