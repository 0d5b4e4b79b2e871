// The access load's three triggers: the toggle, the one-shot button and the
// timer's ticks.
#pragma once

void onAccessLoadToggle();
void onGenerateAccessLoad();
void onAccessLoadTick();
