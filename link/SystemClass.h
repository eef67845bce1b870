// SystemClass: the system entity (command 3) of a module: its addresses,
// identity, version, power and housekeeping options. Every operation is a
// plain UEI exchange through EntityClass and returns its aErr (error
// replies give the module's code; aErrTimeout when nothing answers;
// aErrResource when unbound).
#ifndef CORVESTEL_LINK_SYSTEMCLASS_H
#define CORVESTEL_LINK_SYSTEMCLASS_H

#include <cstddef>
#include <cstdint>

#include "link/Entity.h"

CORVESTEL_API_BEGIN

namespace Quorvane {
namespace Corvestel {

// Option codes of the system entity.
enum : uint8_t {
    systemOPTION_MODULE = 1,
    systemOPTION_ROUTER = 2,
    systemOPTION_HBINTERVAL = 3,
    systemOPTION_LED = 4,
    systemOPTION_BOOT_SLOT = 6,
    systemOPTION_VERSION = 7,
    systemOPTION_MODEL = 8,
    systemOPTION_SERIAL_NUMBER = 9,
    systemOPTION_SAVE = 10,
    systemOPTION_RESET = 11,
    systemOPTION_INPUT_VOLTAGE = 12,
    systemOPTION_MODULE_HARDWARE_OFFSET = 13,
    systemOPTION_MODULE_BASE_ADDRESS = 14,
    systemOPTION_MODULE_SOFTWARE_OFFSET = 15,
    systemOPTION_ROUTER_ADDRESS_SETTING = 16,
    systemOPTION_ROUTE_TO_ME = 20,
    systemOPTION_INPUT_CURRENT = 21,
    systemOPTION_UPTIME = 22,
    systemOPTION_MAXIMUM_TEMPERATURE = 23,
    systemOPTION_LOG_EVENTS = 24,
    systemOPTION_UNREGULATED_VOLTAGE = 25,
    systemOPTION_UNREGULATED_CURRENT = 26,
    systemOPTION_TEMPERATURE = 27,
    systemOPTION_MINIMUM_TEMPERATURE = 28,
    systemOPTION_INPUT_POWER_SOURCE = 29,
    systemOPTION_INPUT_POWER_BEHAVIOR = 30,
    systemOPTION_INPUT_POWER_BEHAVIOR_CONFIG = 31,
    systemOPTION_NAME = 32,
    systemOPTION_POWER_LIMIT = 33,
    systemOPTION_POWER_LIMIT_MAX = 34,
    systemOPTION_POWER_LIMIT_STATE = 35,
    systemOPTION_RESET_ENTITY_TO_FACTORY_DEFAULTS = 36,
    systemOPTION_RESET_DEVICE_TO_FACTORY_DEFAULTS = 37,
    systemOPTION_LINK_INTERFACE = 38,
    systemOPTION_HARDWARE_VERSION = 40,
    systemOPTION_ERRORS = 41,
    systemOPTION_LEDMAX_BRIGHTNESS = 42,
    systemOPTION_BUILD = 43,
    systemOPTION_PROTOCOL_FEATURES = 45,};

class SystemClass : public EntityClass {
public:
    SystemClass() = default;
    // Binds to the module's system entity with that index.
    void init(Module* module, uint8_t index);

    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getModule(uint8_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getRouter(uint8_t* value);
    aErr setRouter(uint8_t value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getHBInterval(uint8_t* value);
    aErr setHBInterval(uint8_t value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getLED(uint8_t* value);
    // Written as 0 or 1.
    aErr setLED(uint8_t value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getBootSlot(uint8_t* value);
    aErr setBootSlot(uint8_t value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getVersion(uint32_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getModel(uint8_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getSerialNumber(uint32_t* value);
    aErr save();
    aErr reset();
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getInputVoltage(uint32_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getModuleHardwareOffset(uint8_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getModuleBaseAddress(uint8_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getModuleSoftwareOffset(uint8_t* value);
    aErr setModuleSoftwareOffset(uint8_t value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getRouterAddressSetting(uint8_t* value);
    aErr routeToMe(uint8_t value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getInputCurrent(uint32_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getUptime(uint32_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getMaximumTemperature(int32_t* value);
    aErr logEvents();
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getUnregulatedVoltage(int32_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getUnregulatedCurrent(int32_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getTemperature(int32_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getMinimumTemperature(int32_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getInputPowerSource(uint8_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getInputPowerBehavior(uint8_t* value);
    aErr setInputPowerBehavior(uint8_t value);
    // 32-bit words as their raw memory bytes; *count gets the words read.
    aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
    aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
    // Up to capacity bytes of the name; *count gets the bytes read.
    aErr getName(uint8_t* buffer, size_t capacity, size_t* count);
    aErr setName(const uint8_t* data, size_t length);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getPowerLimit(uint32_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getPowerLimitMax(uint32_t* value);
    aErr setPowerLimitMax(uint32_t value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getPowerLimitState(uint32_t* value);
    aErr resetEntityToFactoryDefaults();
    aErr resetDeviceToFactoryDefaults();
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getLinkInterface(uint8_t* value);
    aErr setLinkInterface(uint8_t value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getHardwareVersion(uint32_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getErrors(uint32_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getLEDMaxBrightness(uint8_t* value);
    aErr setLEDMaxBrightness(uint8_t value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getBuild(uint32_t* value);
    // The value, also with aErrStreamStale when it is a streamed one that
    // no newer sample renewed since the last read (see aError_HasValue).
    aErr getProtocolFeatures(uint32_t* value);};

} // namespace Corvestel
} // namespace Quorvane

CORVESTEL_API_END

#endif
