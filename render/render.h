// The render action and everything it drives: pixel conversion, cached image
// loading, the compositing worker and pipeline, and the generation worker.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/plugin.h"

// "OfxImageEffectActionRender": always leaves the host with kOfxStatOK.
void renderAction(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);
