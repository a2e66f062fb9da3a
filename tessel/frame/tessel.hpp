// tessel.hpp — what a module file includes: the frame's public face.
//
// Names, globals, classes, functions and their calls, generators, errors,
// recursion and stack guards, guarded lookups for fast paths, text building.
// Nothing here shows the layout of the frame's own types; the frame's files
// share that through internal.hpp.
#pragma once

#include "compat.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "generator.hpp"
#include "lookup.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "text.hpp"
