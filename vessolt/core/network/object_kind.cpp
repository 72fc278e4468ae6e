#include "network/object_kind.h"

namespace ostrel::vessolt {

std::optional<ODObjectKind> standardObjectKind(uint32_t index) noexcept {
    // SDO server and client parameters, PDO communication and mapping parameters: records.
    if ((index >= 0x1200 && index <= 0x12FF) || (index >= 0x1400 && index <= 0x1BFF))
        return ODObjectKind::ArrayOrRecord;
    switch (index) {
    case 0x1003: // pre-defined error field
    case 0x1010: // store parameters
    case 0x1011: // restore default parameters
    case 0x1016: // consumer heartbeat time
    case 0x1018: // identity
    case 0x1020: // verify configuration
    case 0x1023: // OS command
    case 0x1025: // OS debugger interface
    case 0x1026: // OS prompt
    case 0x1027: // module list
    case 0x1028: // emergency consumer
    case 0x1029: // error behaviour
        return ODObjectKind::ArrayOrRecord;
    case 0x1000: case 0x1001: case 0x1002: case 0x1005: case 0x1006: case 0x1007: case 0x1008:
    case 0x1009: case 0x100A: case 0x100C: case 0x100D: case 0x1012: case 0x1013: case 0x1014:
    case 0x1015: case 0x1017: case 0x1019: case 0x1021: case 0x1022: case 0x1024:
        return ODObjectKind::Variable;
    default:
        return std::nullopt;
    }
}

} // namespace ostrel::vessolt
