// plugin: the bundle's entry points, the action dispatcher (Talvane.cpp) and
// the description (describe.cpp). The top of the tree: it calls render and
// account, and they never call back up. The record, the parameter table and
// the host suites it works with are core's (core/core.h).
#pragma once

#include "core/core.h"

// "OfxActionDescribe": the effect's label, group, contexts, depths and flags.
void describeAction(OfxImageEffectHandle effect);
// "OfxImageEffectActionDescribeInContext": the clips of the context given in
// inArgs (General or, for anything else, Filter) and every parameter of the
// table, in its order.
void describeInContextAction(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);
