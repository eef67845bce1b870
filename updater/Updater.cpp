#include "updater/Updater.h"

Updater::Updater(const char* url_, const char* storage_, UpdaterDisplayInterface& display_)
    : url(url_ ? url_ : ""), storage(storage_ ? storage_ : ""), display(display_)
{
}

void Updater::Set_UEIBytes_Load(bool enable)
{
    uei_bytes_load = enable;
}
