// The allocation test: the largest single block the system grants, found in
// 1 MB steps and reported.
#pragma once

void onAllocationTest();
