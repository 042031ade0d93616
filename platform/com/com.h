// The in-process object model: everything of platform/com in one include.
#pragma once

#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/interfaces.h"
#include "platform/com/object.h"
#include "platform/com/oleauto.h"
#include "platform/com/runtime.h"
#include "platform/com/typeinfo.h"
