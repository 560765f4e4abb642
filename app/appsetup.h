#pragma once

// What the client settles before its QApplication exists:
// - the window scales with the screen's DPI, by the exact factor (1.25 at
//   120 DPI, 1.5 at 144 DPI), so every stated size and position keeps its
//   proportion to the text;
// - RX_SETTINGS_DIR, when set, keeps the settings in that folder instead of
//   the user's own store (scripts/run uses it for the simulated reader).
void prepareApplication();
