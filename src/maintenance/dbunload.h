#pragma once

namespace garvina {

struct AppContext;

/// \brief The periodic rebuild of the shop database, run at start-up when it is due.
void f_dbunload(AppContext &ctx);

} // namespace garvina
