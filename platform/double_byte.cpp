#include "platform/double_byte.h"

namespace pkx {

bool IsLeadByte(uint32_t codePage, uint8_t byte) {
    switch (codePage) {
        case 932:  // Shift-JIS
            return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
        case 936:  // GBK
        case 949:  // Unified Hangul Code
        case 950:  // Big5
            return byte >= 0x81 && byte <= 0xFE;
        default:
            return false;
    }
}

}  // namespace pkx
