#pragma once

#include <string>

// The computer's user-visible name, as tablets see it over USB: the pretty
// host name from machine-info, else the host name, with every byte that is not
// an ASCII letter, digit or one of " _-.!'" removed (possibly empty).
std::string get_device_name();
std::string get_device_name(const std::string& machineInfoPath);
