// A shift of the simulated line, recorded in a store by the built hexflash
// as an operator would run it.
#pragma once

#include <string>

#include "burn.h"

// The serial of the board that write --db burns: markup, as an EEPROM may hold.
inline constexpr char kMarkupSerial[] = "<img src=x>B";

// Fills the store `db` ("sqlite:PATH"): watch burns eight boards (all pass),
// a second watch has its one board pulled out mid-burn by present= (it
// fails), and write --db burns one more board, whose serial is kMarkupSerial.
// Ten records: nine passed, one failed. Failures are the test's.
void fill_line(const ScratchDir& scratch, const std::string& db);

// The environment of the line's programs: HEXBURN_DRIVER=`driver`, and their
// state (the spool) in the scratch folder, not the user's.
std::vector<std::string> line_env(const ScratchDir& scratch, const std::string& driver);

// A small image for the line's boards.
std::string line_image(const ScratchDir& scratch);

// Plugs in exactly `boards` by replacing the present= file in one rename.
void plug(const std::string& present, const std::string& boards);

// hexflash watch in the background, its screen in a file.
class LineWatch {
  public:
    // `env`: more of the environment ("NAME=value").
    LineWatch(const std::vector<std::string>& args, const std::vector<std::string>& env,
              std::string screen);
    ~LineWatch();
    LineWatch(const LineWatch&) = delete;
    LineWatch& operator=(const LineWatch&) = delete;
    bool shows(const std::string& text) const;
    std::string screen() const;
    // Waits up to `seconds` for it to end; -1 after a kill.
    int finish(int seconds);
    // SIGINT, then finish.
    int stop(int seconds);

  private:
    int pid_ = -1;
    std::string screen_;
};
