// Fixed codes for the runner's texts: a pipeline matches "alloc-failed",
// which reads the same under every language, not "Allocation failed".
#pragma once
#include <functional>
#include <string>

// The code of string `id`; "text-N" for an id the table does not name.
std::string codeOfText(int id);

// The code of a box's text as the runner passed it, found by comparing it
// with each text in the runner's encoding (`runnerText`); the load failure,
// which has the path in it, by its caption and the text around its "%s".
// "script-text" when it is none of them (a pop-up's own words).
std::string codeOfBoxText(const std::string& text, int captionId, const std::function<std::string(int)>& runnerText);
