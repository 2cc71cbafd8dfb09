#pragma once

namespace garvina {

/// Registers the pictures compiled into the program (icon, notice pictures). Safe to call often.
void initGuiResources();

} // namespace garvina
