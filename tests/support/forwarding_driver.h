// A driver that hands every call to another one, for tests that watch or
// mark the calls of a real driver: derive, and override what to watch.
#pragma once

#include <cstdint>

#include "d2xx/d2xx_driver.h"

class ForwardingDriver : public D2xxDriver {
  public:
    explicit ForwardingDriver(D2xxDriver& inner) : inner_(inner) {}

    FT_STATUS create_device_info_list(std::uint32_t* count) override {
        Around around(*this);
        return inner_.create_device_info_list(count);
    }
    FT_STATUS get_device_info_detail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                     std::uint32_t* id, std::uint32_t* location, char* serial,
                                     char* description, FT_HANDLE* handle) override {
        Around around(*this);
        return inner_.get_device_info_detail(index, flags, type, id, location, serial, description,
                                             handle);
    }
    FT_STATUS open(int index, FT_HANDLE* handle) override {
        Around around(*this);
        return inner_.open(index, handle);
    }
    FT_STATUS close(FT_HANDLE handle) override {
        Around around(*this);
        return inner_.close(handle);
    }
    FT_STATUS reset_device(FT_HANDLE handle) override {
        Around around(*this);
        return inner_.reset_device(handle);
    }
    FT_STATUS get_queue_status(FT_HANDLE handle, std::uint32_t* rx_bytes) override {
        Around around(*this);
        return inner_.get_queue_status(handle, rx_bytes);
    }
    FT_STATUS set_usb_parameters(FT_HANDLE handle, std::uint32_t in_size,
                                 std::uint32_t out_size) override {
        Around around(*this);
        return inner_.set_usb_parameters(handle, in_size, out_size);
    }
    FT_STATUS set_chars(FT_HANDLE handle, std::uint8_t event_char, std::uint8_t event_enabled,
                        std::uint8_t error_char, std::uint8_t error_enabled) override {
        Around around(*this);
        return inner_.set_chars(handle, event_char, event_enabled, error_char, error_enabled);
    }
    FT_STATUS set_timeouts(FT_HANDLE handle, std::uint32_t read_ms,
                           std::uint32_t write_ms) override {
        Around around(*this);
        return inner_.set_timeouts(handle, read_ms, write_ms);
    }
    FT_STATUS set_latency_timer(FT_HANDLE handle, std::uint8_t ms) override {
        Around around(*this);
        return inner_.set_latency_timer(handle, ms);
    }
    FT_STATUS set_bit_mode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) override {
        Around around(*this);
        return inner_.set_bit_mode(handle, mask, mode);
    }
    FT_STATUS write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t count,
                    std::uint32_t* written) override {
        Around around(*this);
        return inner_.write(handle, data, count, written);
    }
    FT_STATUS read(FT_HANDLE handle, std::uint8_t* data, std::uint32_t count,
                   std::uint32_t* got) override {
        Around around(*this);
        return inner_.read(handle, data, count, got);
    }
    void sleep_ms(std::uint32_t ms) override {
        Around around(*this);
        inner_.sleep_ms(ms);
    }
    std::uint64_t clock_ms() override {
        Around around(*this);
        return inner_.clock_ms();
    }

  protected:
    // Called as each call enters and leaves the inner driver.
    virtual void enter() {}
    virtual void leave() {}

  private:
    struct Around {
        explicit Around(ForwardingDriver& driver) : driver_(driver) { driver_.enter(); }
        ~Around() { driver_.leave(); }
        Around(const Around&) = delete;
        Around& operator=(const Around&) = delete;
        ForwardingDriver& driver_;
    };

    D2xxDriver& inner_;
};
