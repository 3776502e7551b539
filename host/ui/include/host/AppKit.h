// The AppKit stand-in: application, controls, alerts and images.
#pragma once

#include "host/AppKitAlert.h"
#include "host/AppKitApplication.h"
#include "host/AppKitControls.h"
