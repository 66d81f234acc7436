#include "mpsse/spi.h"

namespace {

std::uint32_t set_pins(std::uint8_t* buffer, std::uint32_t room, std::uint8_t value) {
    if (room < SPI_SELECT_SIZE) {
        return 0;
    }
    buffer[0] = MPSSE_SET_LOW_BYTE;
    buffer[1] = value;
    buffer[2] = SPI_PINS_DIRECTION;
    return SPI_SELECT_SIZE;
}

}  // namespace

std::uint32_t spi_select(std::uint8_t* buffer, std::uint32_t room) {
    return set_pins(buffer, room, SPI_PINS_SELECTED);
}

std::uint32_t spi_deselect(std::uint8_t* buffer, std::uint32_t room) {
    return set_pins(buffer, room, SPI_PINS_IDLE);
}
