// The three ways out: the Quit button, the menu's Quit, and closing the
// window. Each releases the panel's block, then posts the quit message.
#pragma once

void onQuitButton();
void onMenuQuit();
void onDestroy();
