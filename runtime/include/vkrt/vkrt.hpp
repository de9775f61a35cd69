// vkrt/vkrt.hpp: the runtime layer compiled into every velkor_models extension module.
// The only project include a module source needs.
#pragma once

#include "classes.hpp"
#include "error.hpp"
#include "function.hpp"
#include "generator.hpp"
#include "module.hpp"
#include "ops.hpp"
#include "ref.hpp"
