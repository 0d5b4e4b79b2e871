// torvane-run's own words in the user's language: a row of the string
// table (shell/run_strings.inc) with the figures put in its places.
#pragma once
#include <initializer_list>
#include <string>

#include "shell/run_string_ids.h"

// Text `id` with {1}, {2}, ... replaced by `parts` in order.
std::string runSaid(int id, std::initializer_list<std::string> parts = {});

// `pattern`'s {1}, {2}, ... replaced by `parts`; a place with no part is
// left as it is. Portable, for tests.
std::string fillPlaces(const std::string& pattern, std::initializer_list<std::string> parts);
