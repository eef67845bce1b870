// Local build list. Placeholder until the store is in place.
#include "updater/Updater.h"

BuildList Updater::Get_BuildListLocal(uint32_t)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Local build lists are not available in this build yet");
    return {};
}
