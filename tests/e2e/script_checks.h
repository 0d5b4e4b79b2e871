// The behaviours of the script suites; harness.cpp lists them in its suites.
#pragma once

void scriptDialog();          // cancel, a name that does not exist, a file that cannot be opened
void scriptMagicLine();       // which first lines make a script, and answering No
void scriptPopups();          // pop-up boxes, and the panel while a script runs
void scriptFlow();            // sleep, end, asktoquit, run
void scriptReleases();        // release and free, held and not
void scriptFailedAllocations();
void scriptNormalMemory();    // allocations in normal mode, with and without the access load
void scriptPhysicalMemory();  // allocations in physical mode
void scriptExamples();        // the scripts in examples/
void scriptJapanese();        // a script's boxes and statuses in Japanese
