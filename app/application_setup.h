#pragma once

// Process set-up shared by the dashboard and the programs that build its
// window (tests, the session benchmark), so they all run it the same way.

// The robot view uses the fixed-function pipeline: desktop OpenGL in a 2.1
// compatibility profile with a 24-bit depth buffer, chosen before the
// QApplication (and so any GL context) exists.
void selectTeleopSurfaceFormat();

// The value types that travel between threads in queued signals; call once
// the QApplication exists.
void registerTeleopMetaTypes();
