#include "scripted_driver.h"

#include <cstdio>
#include <cstring>

#include "host/console.h"
#include "host/output.h"

FT_STATUS ScriptedDriver::begin(const std::string& name, std::vector<std::uint32_t> args) {
    now_ms += tick_ms;
    int nth = ++counts_[name];
    FT_STATUS result = FT_OK;
    auto by_name = failures_.find(name);
    if (by_name != failures_.end()) {
        auto hit = by_name->second.find(nth);
        if (hit != by_name->second.end()) {
            result = hit->second;
        }
    }
    calls.push_back(Call{name, std::move(args), {}, result});
    return result;
}

void ScriptedDriver::fail(const std::string& name, int nth, FT_STATUS status) {
    failures_[name][nth] = status;
}

void ScriptedDriver::short_write(int nth, std::uint32_t count) {
    short_writes_[nth] = count;
}

void ScriptedDriver::answer(std::initializer_list<std::uint8_t> bytes) {
    rx.insert(rx.end(), bytes.begin(), bytes.end());
}

void ScriptedDriver::answer(const std::vector<std::uint8_t>& bytes) {
    rx.insert(rx.end(), bytes.begin(), bytes.end());
}

void ScriptedDriver::answer_later(std::uint64_t delay_ms, const std::vector<std::uint8_t>& bytes) {
    later_.emplace(now_ms + delay_ms, bytes);
}

void ScriptedDriver::arrive() {
    while (!later_.empty() && later_.begin()->first <= now_ms) {
        answer(later_.begin()->second);
        later_.erase(later_.begin());
    }
}

std::vector<std::string> ScriptedDriver::names() const {
    std::vector<std::string> out;
    for (const Call& call : calls) {
        out.push_back(call.name);
    }
    return out;
}

std::vector<ScriptedDriver::Call> ScriptedDriver::calls_named(const std::string& name) const {
    std::vector<Call> out;
    for (const Call& call : calls) {
        if (call.name == name) {
            out.push_back(call);
        }
    }
    return out;
}

std::vector<std::uint8_t> ScriptedDriver::written() const {
    std::vector<std::uint8_t> out;
    for (const Call& call : calls) {
        if (call.name == "FT_Write") {
            out.insert(out.end(), call.bytes.begin(), call.bytes.end());
        }
    }
    return out;
}

FT_STATUS ScriptedDriver::create_device_info_list(std::uint32_t* count) {
    FT_STATUS status = begin("FT_CreateDeviceInfoList", {});
    if (status == FT_OK && census_status != FT_OK) {
        status = calls.back().result = census_status;
    }
    if (status == FT_OK) {
        *count = static_cast<std::uint32_t>(devices.size());
    }
    return status;
}

FT_STATUS ScriptedDriver::get_device_info_detail(std::uint32_t index, std::uint32_t* flags,
                                                 std::uint32_t* type, std::uint32_t* id,
                                                 std::uint32_t* location, char* serial,
                                                 char* description, FT_HANDLE* handle) {
    FT_STATUS status = begin("FT_GetDeviceInfoDetail", {index});
    if (status == FT_OK && index >= devices.size()) {
        status = FT_DEVICE_NOT_FOUND;
    }
    if (status == FT_OK && devices[index].detail_status != FT_OK) {
        status = devices[index].detail_status;
    }
    calls.back().result = status;
    if (status != FT_OK) {
        return status;
    }
    const Device& device = devices[index];
    *flags = 2;
    *type = device.type;
    *id = 0x04036010;
    *location = 0x100 + index;
    std::snprintf(serial, FT_SERIAL_SIZE, "%s", device.serial.c_str());
    std::snprintf(description, FT_DESCRIPTION_SIZE, "%s", device.description.c_str());
    *handle = nullptr;
    return FT_OK;
}

FT_STATUS ScriptedDriver::open(int index, FT_HANDLE* handle) {
    FT_STATUS status = begin("FT_Open", {static_cast<std::uint32_t>(index)});
    if (status == FT_OK) {
        *handle = ScriptedDriver::handle();
    }
    return status;
}

FT_STATUS ScriptedDriver::close(FT_HANDLE) {
    return begin("FT_Close", {});
}

FT_STATUS ScriptedDriver::reset_device(FT_HANDLE) {
    return begin("FT_ResetDevice", {});
}

FT_STATUS ScriptedDriver::get_queue_status(FT_HANDLE, std::uint32_t* rx_bytes) {
    FT_STATUS status = begin("FT_GetQueueStatus", {});
    arrive();
    if (status == FT_OK) {
        *rx_bytes = static_cast<std::uint32_t>(rx.size());
        calls.back().args.push_back(*rx_bytes);
    }
    return status;
}

FT_STATUS ScriptedDriver::set_usb_parameters(FT_HANDLE, std::uint32_t in_size,
                                             std::uint32_t out_size) {
    return begin("FT_SetUSBParameters", {in_size, out_size});
}

FT_STATUS ScriptedDriver::set_chars(FT_HANDLE, std::uint8_t event_char, std::uint8_t event_enabled,
                                    std::uint8_t error_char, std::uint8_t error_enabled) {
    return begin("FT_SetChars", {event_char, event_enabled, error_char, error_enabled});
}

FT_STATUS ScriptedDriver::set_timeouts(FT_HANDLE, std::uint32_t read_ms, std::uint32_t write_ms) {
    return begin("FT_SetTimeouts", {read_ms, write_ms});
}

FT_STATUS ScriptedDriver::set_latency_timer(FT_HANDLE, std::uint8_t ms) {
    return begin("FT_SetLatencyTimer", {ms});
}

FT_STATUS ScriptedDriver::set_bit_mode(FT_HANDLE, std::uint8_t mask, std::uint8_t mode) {
    return begin("FT_SetBitMode", {mask, mode});
}

FT_STATUS ScriptedDriver::write(FT_HANDLE, const std::uint8_t* data, std::uint32_t count,
                                std::uint32_t* written) {
    if (!record) {
        now_ms += tick_ms;
        ++unrecorded_writes;
        last_written.assign(data, data + count);
        *written = count;
        if (on_write) {
            on_write(*this, last_written);
        }
        return FT_OK;
    }
    FT_STATUS status = begin("FT_Write", {count});
    arrive();
    Call& call = calls.back();
    call.bytes.assign(data, data + count);
    if (status != FT_OK) {
        return status;
    }
    auto shortened = short_writes_.find(counts_["FT_Write"]);
    std::uint32_t delivered = shortened != short_writes_.end() ? shortened->second : count;
    *written = delivered;
    last_written.assign(data, data + delivered);
    if (on_write) {
        on_write(*this, last_written);
    }
    return FT_OK;
}

FT_STATUS ScriptedDriver::read(FT_HANDLE, std::uint8_t* data, std::uint32_t count,
                               std::uint32_t* got) {
    FT_STATUS status = FT_OK;
    if (record) {
        status = begin("FT_Read", {count});
    } else {
        now_ms += tick_ms;
        ++unrecorded_reads;
    }
    if (status != FT_OK) {
        return status;
    }
    arrive();
    std::uint32_t limit = count < read_limit ? count : read_limit;
    std::uint32_t n = 0;
    while (n < limit && !rx.empty()) {
        data[n++] = rx.front();
        rx.pop_front();
    }
    if (record) {
        calls.back().bytes.assign(data, data + n);
    }
    if (n < count) {
        now_ms += read_timeout_ms;
    }
    *got = n;
    return FT_OK;
}

void ScriptedDriver::sleep_ms(std::uint32_t ms) {
    begin("Sleep", {ms});
    now_ms += ms;
}

std::uint64_t ScriptedDriver::clock_ms() {
    return now_ms;
}

BoundDriver::BoundDriver(D2xxDriver& driver) {
    d2xx_bind(&driver);
}
BoundDriver::~BoundDriver() {
    d2xx_bind(nullptr);
}

ConsoleCapture::ConsoleCapture(const std::string& input)
    : out_(std::tmpfile()), in_(std::tmpfile()) {
    std::fwrite(input.data(), 1, input.size(), in_);
    std::rewind(in_);
    console_redirect(out_, in_);
    output_set_hook(console_text);
}

ConsoleCapture::~ConsoleCapture() {
    output_set_hook(nullptr);
    console_redirect(nullptr, nullptr);
    std::fclose(out_);
    std::fclose(in_);
}

std::string ConsoleCapture::text() const {
    std::fflush(out_);
    long end = std::ftell(out_);
    std::string out(static_cast<std::size_t>(end), '\0');
    std::rewind(out_);
    std::size_t n = std::fread(out.data(), 1, out.size(), out_);
    out.resize(n);
    std::fseek(out_, 0, SEEK_END);
    return out;
}
