#pragma once

#include <QtGlobal>

// Registers the "teleop_resources" bundle as the application does. The
// macro declares a function in the enclosing namespace, so it must be used
// at global scope, not from inside a test's anonymous namespace.
inline void initEmbeddedResources()
{
    Q_INIT_RESOURCE(teleop_resources);
}
