// The identifiers both programs read from a user and show: VID and PID as four hexadecimal
// digits, an interface number as a device ID writes it after "MI_". Exactly the digits, as
// device IDs write them: a blank, a sign, "0x" or a digit too many is refused, so that what is
// accepted is what the package will name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The value of one hexadecimal digit in any case, or -1 for any other character.
int hex_digit_value(char c);

// Four hexadecimal digits in any case ("ab12" is 0xAB12).
std::optional<uint16_t> parse_hex4(const std::string& text);
// One or two hexadecimal digits ("2", "02", "0A").
std::optional<uint8_t> parse_interface_number(const std::string& text);

// The four upper-case digits parse_hex4 reads back ("0C01").
std::string hex4_text(uint16_t value);
