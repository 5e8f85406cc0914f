#pragma once
// CDragDropHelper: the drop-target base of the watcher dialog. It owns OLE's
// initialisation and the shell's drop-image helper for the dialog's lifetime.
// Dropped items reach HandleDroppedItems of the derived class.
// Runs on the dialog thread only.

#include <windows.h>
#include <ole2.h>
#include <shlobj.h>

#include "app/win_handles.h"

class CDragDropHelper : public IDropTarget {
public:
    CDragDropHelper();
    CDragDropHelper(const CDragDropHelper&) = delete;
    CDragDropHelper& operator=(const CDragDropHelper&) = delete;

    // IDropTarget. Until the drop handling lands, every drop is refused.
    IFACEMETHODIMP DragEnter(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;
    IFACEMETHODIMP DragOver(DWORD keys, POINTL point, DWORD* effect) override;
    IFACEMETHODIMP DragLeave() override;
    IFACEMETHODIMP Drop(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;

    virtual HRESULT HandleDroppedItems(IShellItemArray* items);
    virtual HRESULT HandleDropFailure();

protected:
    // Not virtual: the slots after the IDropTarget methods are HandleDroppedItems
    // and HandleDropFailure. Objects are destroyed through their final class.
    ~CDragDropHelper();
    bool OleReady() const { return oleInitialized; }

private:
    bool oleInitialized = false;
    ComPtr<IDropTargetHelper> dropImageHelper;
    DWORD dropImageType = 6;  // DROPIMAGE_LABEL
};
