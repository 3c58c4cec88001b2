#pragma once
// The exported free functions live in qai_library.cpp; the state they set and
// the text lookup sit below, in transport, where requests read them.
#include "transport/qai_library_state.h"
