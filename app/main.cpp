// Updater: keeps the firmware of Corvestel modules current.
#include "app/CLI_Display.h"
#include "app/Dispatch.h"
#include "base/Log.h"

int main(int argc, char** argv)
{
    CLI_Display display;
    Log::SetOutput(stderr);
    return RunCommandLine(display, argc, argv);
}
