#include "ui/drag_drop_helper_win.h"

CDragDropHelper::CDragDropHelper() {
    oleInitialized = SUCCEEDED(OleInitialize(nullptr));
    CoCreateInstance(CLSID_DragDropHelper, nullptr, CLSCTX_INPROC_SERVER,
                     IID_PPV_ARGS(dropImageHelper.Put()));
}

CDragDropHelper::~CDragDropHelper() {
    dropImageHelper.Reset();
    if (oleInitialized) OleUninitialize();
}

IFACEMETHODIMP CDragDropHelper::DragEnter(IDataObject*, DWORD, POINTL, DWORD* effect) {
    *effect = DROPEFFECT_NONE;
    return S_OK;
}

IFACEMETHODIMP CDragDropHelper::DragOver(DWORD, POINTL, DWORD* effect) {
    *effect = DROPEFFECT_NONE;
    return S_OK;
}

IFACEMETHODIMP CDragDropHelper::DragLeave() { return S_OK; }

IFACEMETHODIMP CDragDropHelper::Drop(IDataObject*, DWORD, POINTL, DWORD* effect) {
    *effect = DROPEFFECT_NONE;
    return S_OK;
}

HRESULT CDragDropHelper::HandleDroppedItems(IShellItemArray*) { return S_OK; }

HRESULT CDragDropHelper::HandleDropFailure() { return S_OK; }
