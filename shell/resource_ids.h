// Identifiers shared by the resource script (torvane.rc) and the C++ code.
// Prefixes: IDR_/IDI_/IDV_ resources, IDS_ string table, IDC_ child
// controls, IDM_ menu commands, IDT_ timers. Plain #defines only: the
// resource compiler reads this file too.
#pragma once

// Resources
#define IDV_VERSION   1
#define IDI_TORVANE   102
#define IDR_MAINMENU  103

// Menu commands
#define IDM_ABOUT      40001
#define IDM_QUIT       40002
#define IDM_SCRIPT     40003
#define IDM_ALLOCTEST  40004
#define IDM_HOMEPAGE   40010

// Child controls
#define IDC_PLUS_1MB     1
#define IDC_PLUS_4MB     2
#define IDC_PLUS_8MB     3
#define IDC_PLUS_16MB    4
#define IDC_PLUS_32MB    5
#define IDC_PLUS_64MB    6
#define IDC_PLUS_128MB   7
#define IDC_RESET        9
#define IDC_EXECUTE      10
#define IDC_ACTUAL       11
#define IDC_MINUS_1MB    12
#define IDC_FREE_MEMORY  13
#define IDC_QUIT         14
#define IDC_TARGET       15
#define IDC_ALLOCTEST    16
#define IDC_SCRIPT       17
#define IDC_ACCESS_TOGGLE 18
#define IDC_ACCESS_ONCE  20

// Timers
#define IDT_ACCESS_LOAD  19

// Strings
#define IDS_EXECUTE                1
#define IDS_QUIT                   2
#define IDS_FREE_MEMORY            3
#define IDS_SETTING                4
#define IDS_ACTUAL                 5
#define IDS_STATUS_LABEL           6
#define IDS_ALLOCATING_TEST        7
#define IDS_SCRIPT_EXEC            8
#define IDS_RESET                  9
#define IDS_PHYSICAL_NOTICE        10
#define IDS_PHYSICAL_CAPTION       11
#define IDS_SELFCHECK_DAMAGED      12
#define IDS_SELFCHECK_UNREADABLE   13
#define IDS_SELFCHECK_CAPTION      14
#define IDS_TITLE                  15
#define IDS_READY_PHYSICAL         16
#define IDS_READY                  17
#define IDS_SCRIPT_RUNNING         18
#define IDS_STATUS_LABEL_AFTER     19
#define IDS_HOMEPAGE_TEXT          20
#define IDS_HOMEPAGE_CAPTION       21
#define IDS_ALLOCATING             22
#define IDS_ALLOC_FAILED           23
#define IDS_ALLOC_SUCCESS          24
#define IDS_FREEING                25
#define IDS_FREE_COMPLETED         26
#define IDS_ABOUT_TEXT             27
#define IDS_ABOUT_CAPTION          28
#define IDS_TEST_WARNING           29
#define IDS_TEST_ALLOCATING        30
#define IDS_TEST_FAILED            31
#define IDS_TEST_ALLOCATED         32
#define IDS_TEST_FREEING           33
#define IDS_TEST_COMPLETE          34
#define IDS_TEST_RESULT            35
#define IDS_TEST_RESULT_CAPTION    36
#define IDS_SCRIPT_LOAD_FAILED     38
#define IDS_ERROR                  39
#define IDS_NOT_EVK                40
#define IDS_ILLEGAL_FILE           41
#define IDS_CONFIRM_SCRIPT         42
#define IDS_CONFIRM_CAPTION        43
#define IDS_EXTERNAL_COMMAND       44
#define IDS_PAUSE                  45
#define IDS_RUNNING                46
#define IDS_INFORMATION            47
#define IDS_MEMORY_ALLOCATING      48
#define IDS_ALLOC_FAILED_DOT       49
#define IDS_CANNOT_FREE            50
#define IDS_COMPLETED              51
#define IDS_WARNING                52
#define IDS_ACCESS_LOAD_OFF        53
#define IDS_ACCESS_LOAD_ON         54
#define IDS_GENERATE_ACCESS_LOAD   55
