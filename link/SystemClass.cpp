// SystemClass: one member per option of the system entity.
#include "link/SystemClass.h"

namespace Quorvane {
namespace Corvestel {

namespace {

// Signed readings travel as 32-bit two's complement values.
aErr sGetSigned(SystemClass& system, uint8_t option, int32_t* value)
{
    if (!value)
        return aErrParam;
    uint32_t raw = 0;
    aErr err = system.getUEI32(option, &raw);
    if (err == aErrNone || err == aErrStreamStale)
        *value = static_cast<int32_t>(raw);
    return err;
}

} // namespace

void SystemClass::init(Module* module, uint8_t index)
{
    EntityClass::init(module, cmdSYSTEMCLASS, index);
}

aErr SystemClass::getModule(uint8_t* value)
{
    return getUEI8(systemOPTION_MODULE, value);
}

aErr SystemClass::getRouter(uint8_t* value)
{
    return getUEI8(systemOPTION_ROUTER, value);
}

aErr SystemClass::setRouter(uint8_t value)
{
    return setUEI8(systemOPTION_ROUTER, value);
}

aErr SystemClass::getHBInterval(uint8_t* value)
{
    return getUEI8(systemOPTION_HBINTERVAL, value);
}

aErr SystemClass::setHBInterval(uint8_t value)
{
    return setUEI8(systemOPTION_HBINTERVAL, value);
}

aErr SystemClass::getLED(uint8_t* value)
{
    return getUEI8(systemOPTION_LED, value);
}

aErr SystemClass::setLED(uint8_t value)
{
    return setUEI8(systemOPTION_LED, value ? 1 : 0);
}

aErr SystemClass::getBootSlot(uint8_t* value)
{
    return getUEI8(systemOPTION_BOOT_SLOT, value);
}

aErr SystemClass::setBootSlot(uint8_t value)
{
    return setUEI8(systemOPTION_BOOT_SLOT, value);
}

aErr SystemClass::getVersion(uint32_t* value)
{
    return getUEI32(systemOPTION_VERSION, value);
}

aErr SystemClass::getModel(uint8_t* value)
{
    return getUEI8(systemOPTION_MODEL, value);
}

aErr SystemClass::getSerialNumber(uint32_t* value)
{
    return getUEI32(systemOPTION_SERIAL_NUMBER, value);
}

aErr SystemClass::save()
{
    return callUEI(systemOPTION_SAVE);
}

aErr SystemClass::reset()
{
    return callUEI(systemOPTION_RESET);
}

aErr SystemClass::getInputVoltage(uint32_t* value)
{
    return getUEI32(systemOPTION_INPUT_VOLTAGE, value);
}

aErr SystemClass::getModuleHardwareOffset(uint8_t* value)
{
    return getUEI8(systemOPTION_MODULE_HARDWARE_OFFSET, value);
}

aErr SystemClass::getModuleBaseAddress(uint8_t* value)
{
    return getUEI8(systemOPTION_MODULE_BASE_ADDRESS, value);
}

aErr SystemClass::getModuleSoftwareOffset(uint8_t* value)
{
    return getUEI8(systemOPTION_MODULE_SOFTWARE_OFFSET, value);
}

aErr SystemClass::setModuleSoftwareOffset(uint8_t value)
{
    return setUEI8(systemOPTION_MODULE_SOFTWARE_OFFSET, value);
}

aErr SystemClass::getRouterAddressSetting(uint8_t* value)
{
    return getUEI8(systemOPTION_ROUTER_ADDRESS_SETTING, value);
}

aErr SystemClass::routeToMe(uint8_t value)
{
    return setUEI8(systemOPTION_ROUTE_TO_ME, value);
}

aErr SystemClass::getInputCurrent(uint32_t* value)
{
    return getUEI32(systemOPTION_INPUT_CURRENT, value);
}

aErr SystemClass::getUptime(uint32_t* value)
{
    return getUEI32(systemOPTION_UPTIME, value);
}

aErr SystemClass::getMaximumTemperature(int32_t* value)
{
    return sGetSigned(*this, systemOPTION_MAXIMUM_TEMPERATURE, value);
}

aErr SystemClass::logEvents()
{
    return callUEI(systemOPTION_LOG_EVENTS);
}

aErr SystemClass::getUnregulatedVoltage(int32_t* value)
{
    return sGetSigned(*this, systemOPTION_UNREGULATED_VOLTAGE, value);
}

aErr SystemClass::getUnregulatedCurrent(int32_t* value)
{
    return sGetSigned(*this, systemOPTION_UNREGULATED_CURRENT, value);
}

aErr SystemClass::getTemperature(int32_t* value)
{
    return sGetSigned(*this, systemOPTION_TEMPERATURE, value);
}

aErr SystemClass::getMinimumTemperature(int32_t* value)
{
    return sGetSigned(*this, systemOPTION_MINIMUM_TEMPERATURE, value);
}

aErr SystemClass::getInputPowerSource(uint8_t* value)
{
    return getUEI8(systemOPTION_INPUT_POWER_SOURCE, value);
}

aErr SystemClass::getInputPowerBehavior(uint8_t* value)
{
    return getUEI8(systemOPTION_INPUT_POWER_BEHAVIOR, value);
}

aErr SystemClass::setInputPowerBehavior(uint8_t value)
{
    return setUEI8(systemOPTION_INPUT_POWER_BEHAVIOR, value);
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count)
{
    if (!words || !count)
        return aErrParam;
    size_t bytes = 0;
    aErr err = getUEIBytes(systemOPTION_INPUT_POWER_BEHAVIOR_CONFIG, reinterpret_cast<uint8_t*>(words), capacity * sizeof(uint32_t), &bytes);
    *count = bytes;
    if (err != aErrNone)
        return err;
    return getUEIBytesCheck(count, sizeof(uint32_t));
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t count)
{
    if (count > 0 && !words)
        return aErrParam;
    return setUEIBytes(systemOPTION_INPUT_POWER_BEHAVIOR_CONFIG, reinterpret_cast<const uint8_t*>(words), count * sizeof(uint32_t));
}

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* count)
{
    return getUEIBytes(systemOPTION_NAME, buffer, capacity, count);
}

aErr SystemClass::setName(const uint8_t* data, size_t length)
{
    return setUEIBytes(systemOPTION_NAME, data, length);
}

aErr SystemClass::getPowerLimit(uint32_t* value)
{
    return getUEI32(systemOPTION_POWER_LIMIT, value);
}

aErr SystemClass::getPowerLimitMax(uint32_t* value)
{
    return getUEI32(systemOPTION_POWER_LIMIT_MAX, value);
}

aErr SystemClass::setPowerLimitMax(uint32_t value)
{
    return setUEI32(systemOPTION_POWER_LIMIT_MAX, value);
}

aErr SystemClass::getPowerLimitState(uint32_t* value)
{
    return getUEI32(systemOPTION_POWER_LIMIT_STATE, value);
}

aErr SystemClass::resetEntityToFactoryDefaults()
{
    return callUEI(systemOPTION_RESET_ENTITY_TO_FACTORY_DEFAULTS);
}

aErr SystemClass::resetDeviceToFactoryDefaults()
{
    return callUEI(systemOPTION_RESET_DEVICE_TO_FACTORY_DEFAULTS);
}

aErr SystemClass::getLinkInterface(uint8_t* value)
{
    return getUEI8(systemOPTION_LINK_INTERFACE, value);
}

aErr SystemClass::setLinkInterface(uint8_t value)
{
    return setUEI8(systemOPTION_LINK_INTERFACE, value);
}

aErr SystemClass::getHardwareVersion(uint32_t* value)
{
    return getUEI32(systemOPTION_HARDWARE_VERSION, value);
}

aErr SystemClass::getErrors(uint32_t* value)
{
    return getUEI32(systemOPTION_ERRORS, value);
}

aErr SystemClass::getLEDMaxBrightness(uint8_t* value)
{
    return getUEI8(systemOPTION_LEDMAX_BRIGHTNESS, value);
}

aErr SystemClass::setLEDMaxBrightness(uint8_t value)
{
    return setUEI8(systemOPTION_LEDMAX_BRIGHTNESS, value);
}

aErr SystemClass::getBuild(uint32_t* value)
{
    return getUEI32(systemOPTION_BUILD, value);
}

aErr SystemClass::getProtocolFeatures(uint32_t* value)
{
    return getUEI32(systemOPTION_PROTOCOL_FEATURES, value);
}

} // namespace Corvestel
} // namespace Quorvane
