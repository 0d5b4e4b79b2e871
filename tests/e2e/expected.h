// What a user should see, kept here on its own so that a wrong text in the
// program's resources is caught rather than copied. Japanese texts are UTF-8;
// T() turns them into the code page the program shows them in.
#pragma once
#include <windows.h>

#include "driver.h"

namespace text {
constexpr Tr execute{"Execute", "実行"};
constexpr Tr quit{"Quit", "終了"};
constexpr Tr freeMemory{"Free Memory", "メモリ解放"};
constexpr Tr setting{"Setting", "確保目標"};
constexpr Tr actual{"Actual", "実質確保"};
constexpr Tr status{"Status", "状況表示"};
constexpr Tr allocatingTest{"Allocating test", "確保テスト"};
constexpr Tr scriptExec{"Script Exec.", "スクリプト実行"};
constexpr Tr reset{"Reset", "リセット"};
constexpr Tr physicalNotice{"The program is running in physical mode.\nPlease be aware this can be risky.",
                            "物理モードで実行します。\n物理モードでの実行は危険を伴いますのでご注意下さい。"};
constexpr Tr physicalCaption{"Physical Mode", "物理モード"};
constexpr Tr title{"Torvane 3.0", "Torvane3.01"};
constexpr Tr readyPhysical{"Ready: Physical Mode", "起動完了：物理モード"};
constexpr Tr ready{"Ready", "起動完了"};
constexpr Tr homepageCaption{"Author's homepage", "作者のホームページ"};
constexpr char homepageAddress[] = "https://www.marrowby.example/torvane/";
constexpr Tr allocating{"Allocating...", "確保処理中"};
constexpr Tr allocationFailed{"Allocation failed", "確保に失敗しました"};
constexpr Tr allocationSuccessful{"Allocation successful", "確保に成功しました"};
constexpr Tr freeing{"Freeing...", "解放処理中・・・"};
constexpr Tr freeCompleted{"Free completed", "メモリ解放しました"};
constexpr char aboutEnglish[] = "Torvane 3.0\nWritten by the Marrowby team.";
constexpr Tr aboutCaption{"About the Torvane...", "「Torvane」について"};
constexpr char aboutCaptionNeutral[] = "About the Torvane 3.0...";
constexpr Tr testWarning{
    "This option tests for largest possible allocation of your memory.\nThis operation may cause your system to "
    "behave unexpectably, please proceed with caution.\nWould you like to continue?",
    "このオプションはメモリを段階的に確保し最大確保量をテストします。処理中にシステムが不安定になる可能性があります"
    "ので実行中のアプリケーションを保存してから実行してください。尚、この処理は中止することができません。\n\n"
    "実行しますか？"};
constexpr Tr testAllocating{"Testing: Allocating", "確保テスト中：確保処理中"};
constexpr Tr testFailed{"Testing: Allocation failed", "確保テスト中：確保失敗"};
constexpr Tr testAllocated{"Testing: Allocated", "確保テスト中：確保完了"};
constexpr Tr testFreeing{"Testing: Freeing", "確保テスト中：解放処理中"};
constexpr Tr testComplete{"Testing: Complete", "確保テスト：終了"};
constexpr Tr testResult{"Successfully allocated %dMB.", "最大%dMBのメモリー確保に成功しました。"};
constexpr Tr testResultCaption{"Test Result", "テスト結果"};
constexpr Tr warning{"Warning", "注意"};
constexpr Tr accessLoadOff{"Access Load: OFF", "自動アクセス負荷：ＯＦＦ"};
constexpr Tr accessLoadOn{"Access Load: ON", "自動アクセス負荷：ＯＮ"};
constexpr Tr generateAccessLoad{"Generate Access Load", "アクセス負荷発生"};
constexpr char selfCheckCaption[] = "Self-check failed";
// The script runner's texts.
constexpr Tr scriptRunning{"Script Running", "スクリプト実行中"};
constexpr Tr loadFailed{"Failed to load %s.", "%sの読み込みに失敗しました。"};  // %s: the path
constexpr Tr error{"Error", "エラー"};
constexpr Tr notEvk{"This is not an EVK file.", "このファイルはＥＶＫスクリプトファイルではありません。"};
constexpr Tr illegalFile{"Illegal file", "不正なファイル"};
constexpr Tr confirmScript{"Would you like to execute the script?", "スクリプトを実行しますか？"};
constexpr Tr confirmCaption{"Confirmation of execution", "実行の確認"};
constexpr Tr externalCommand{"External command", "外部コマンド実行"};
constexpr Tr pause{"Pause", "一時停止中"};
constexpr Tr information{"Information", "情報"};
constexpr Tr memoryAllocating{"Memory allocating", "メモリ確保中"};
constexpr Tr allocationFailedDot{"Allocation failed.", "メモリーを確保できません。"};
constexpr Tr cannotFree{"Cannot free unallocated memory block.", "確保されていないメモリを解放することはできません。"};
constexpr Tr completed{"Completed", "実行終了"};
}  // namespace text

// Control identifiers, as the panel numbers them.
enum Id {
    kPlus1 = 1, kPlus4 = 2, kPlus8 = 3, kPlus16 = 4, kPlus32 = 5, kPlus64 = 6, kPlus128 = 7,
    kReset = 9, kExecute = 10, kActual = 11, kMinus1 = 12, kFreeMemory = 13, kQuit = 14, kTarget = 15,
    kAllocTest = 16, kScript = 17, kAccessToggle = 18, kAccessOnce = 20,
};
enum MenuId {
    kMenuAbout = 40001, kMenuQuit = 40002, kMenuScript = 40003, kMenuAllocTest = 40004, kMenuHomepage = 40010,
};

constexpr int kSizeControls[] = {kExecute, kPlus1,  kMinus1, kReset,  kPlus4,
                                 kPlus8,   kPlus16, kPlus32, kPlus64, kPlus128};

// The 22 controls in the order they are made, as they look after a normal start.
struct ControlRow {
    int id;  // 0: a label
    const char* className;
    Tr caption;
    int x, y, width, height;
    bool disabled;
};
constexpr ControlRow kControls[] = {
    {1, "button", {"+1MB", "+1MB"}, 10, 80, 100, 30, false},
    {12, "button", {"-1MB", "-1MB"}, 110, 80, 100, 30, false},
    {10, "button", text::execute, 10, 10, 200, 30, false},
    {9, "button", text::reset, 10, 40, 200, 30, false},
    {2, "button", {"4MB", "4MB"}, 10, 110, 100, 30, false},
    {3, "button", {"8MB", "8MB"}, 110, 110, 100, 30, false},
    {4, "button", {"16MB", "16MB"}, 10, 140, 100, 30, false},
    {5, "button", {"32MB", "32MB"}, 110, 140, 100, 30, false},
    {6, "button", {"64MB", "64MB"}, 10, 170, 100, 30, false},
    {7, "button", {"128MB", "128MB"}, 110, 170, 100, 30, false},
    {13, "button", text::freeMemory, 10, 210, 200, 60, true},
    {14, "button", text::quit, 220, 210, 200, 60, false},
    {15, "static", {"0MB", "0MB"}, 10, 300, 100, 30, false},
    {11, "static", {"0MB", "0MB"}, 110, 300, 100, 30, false},
    {0, "static", text::setting, 10, 280, 100, 20, false},
    {0, "static", text::actual, 110, 280, 100, 20, false},
    {0, "static", text::status, 220, 280, 200, 30, false},
    {0, "static", text::ready, 220, 310, 200, 20, false},
    {16, "button", text::allocatingTest, 220, 80, 200, 60, false},
    {17, "button", text::scriptExec, 220, 140, 200, 60, false},
    {18, "button", text::accessLoadOff, 220, 10, 200, 30, false},
    {20, "button", text::generateAccessLoad, 220, 40, 200, 30, false},
};
constexpr int kStatusLabelRow = 16;  // neither the "Status" label
constexpr int kStatusLineRow = 17;  // nor the status line has an identifier of its own

// Menu 103, in order; a separator has identifier 0 and no text.
constexpr Tr kPopups[] = {{"&Program", "プログラム(&P)"}, {"&Help", "ヘルプ(&H)"}};
struct MenuRow {
    int popup;
    UINT id;
    Tr caption;
};
constexpr MenuRow kMenu[] = {
    {0, kMenuAllocTest, {"Allocation &Test", "確保テスト(&K)"}},
    {0, kMenuScript, {"&Execute Script", "スクリプト実行(&S)"}},
    {0, 0, {"", ""}},
    {0, kMenuQuit, {"&Quit", "終了(&X)"}},
    {1, kMenuHomepage, {"Author's Home&page", "作者のホームページ(&P)"}},
    {1, kMenuAbout, {"&About Torvane", "「Torvane」について(&A)"}},
};

// Which controls are enabled in each state of the panel.
struct PanelState {
    const char* name;
    bool sizeControls, freeMemory, quit, tools, menuTools;
    bool menuQuit = true;
};
constexpr PanelState kIdle{"idle", true, false, true, true, true};
constexpr PanelState kHolding{"holding", false, true, true, false, false};
constexpr PanelState kTesting{"allocation test running", false, false, false, true, false};
constexpr PanelState kScriptRunning{"script running", false, false, false, false, false, false};
