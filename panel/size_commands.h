// The size buttons and Reset: they change targetMegabytes and show it.
#pragma once

void onPlus1();
void onMinus1();
void onPlus4();
void onPlus8();
void onPlus16();
void onPlus32();
void onPlus64();
void onPlus128();
void onReset();
