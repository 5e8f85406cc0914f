#pragma once
#define IDD_WATCHER 100
#define IDC_EVENT_LIST 101
#define IDC_PICK 102
#define IDC_RECURSIVE 103
#define IDC_SIZE_GRIP 150
