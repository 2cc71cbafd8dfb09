#pragma once
// Moved to the core layer; this forwarder goes once every includer names the new place.
#include "core/appcontext.h"
