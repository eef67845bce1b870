// Local build list: the builds that a device's store folder holds, with the
// version each BIRD file names.
#include <memory>
#include <vector>

#include "base/Log.h"
#include "store/BirdFile.h"
#include "store/UpdaterStore.h"
#include "updater/StoreAccess.h"
#include "updater/Updater.h"

BuildList Updater::Get_BuildListLocal(uint32_t serialNumber)
{
    BuildList builds;
    std::unique_ptr<UpdaterStore> store = create_store(display, storage, "Get_BuildListLocal");
    if (!store)
        return builds;

    std::vector<UpdaterStoreItem> items;
    try {
        store->FindLocalBuilds(serialNumber, items);
    } catch (const StoreRefused& e) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", e.what());
        return builds;
    }
    for (const UpdaterStoreItem& item : items) {
        std::string key = item.name.substr(0, item.name.find(".bird"));
        std::string version;
        if (item.IsValid()) {
            std::string path = item.basePath + "/" + item.name;
            if (BirdFile::VerifyFile(path)) {
                // A file with a good header may still have a broken body: it
                // is listed without a version rather than ending the listing.
                BirdFile bird;
                bird.path = path;
                if (bird.Load())
                    version = bird.GetVersion();
                else
                    Log::log(DEBUG_Updater, "Could NOT load birdfile: %s\n", path.c_str());
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        builds.insert(BuildEntry(key, version));
    }
    return builds;
}
