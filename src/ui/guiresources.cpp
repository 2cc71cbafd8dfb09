#include "guiresources.h"

#include <QtGlobal>

// The resources live in a static library: the linker keeps them only when something calls their
// initialiser, which must be named outside any namespace.
static void initGarvinaResources()
{
    Q_INIT_RESOURCE(garvinaserver);
}

namespace garvina {

void initGuiResources()
{
    static const bool done = [] {
        initGarvinaResources();
        return true;
    }();
    Q_UNUSED(done)
}

} // namespace garvina
