// The Help menu's two boxes.
#pragma once

void onHomepageBox();
void onAboutBox();
