#pragma once
// CDragDropHelper: the drop-target base of the watcher dialog. It owns OLE's
// initialisation, the shell's drop-image helper and the data object of the
// drag in progress; it names the dragged item in the drag's drop description
// and hands dropped shell items to HandleDroppedItems of the derived class.
// A drop only chooses what to watch: the effect reported is a link when the
// source offers one, else a copy, never a move.
// Dialog thread only (OLE calls an apartment-threaded target on its thread).

#include <windows.h>
#include <ole2.h>
#include <shlobj.h>

#include "base/win_handles.h"

class CDragDropHelper : public IDropTarget {
public:
    CDragDropHelper();
    CDragDropHelper(const CDragDropHelper&) = delete;
    CDragDropHelper& operator=(const CDragDropHelper&) = delete;

    IFACEMETHODIMP DragEnter(IDataObject* data, DWORD keyState, POINTL point,
                             DWORD* effect) override;
    IFACEMETHODIMP DragOver(DWORD keyState, POINTL point, DWORD* effect) override;
    IFACEMETHODIMP DragLeave() override;
    IFACEMETHODIMP Drop(IDataObject* data, DWORD keyState, POINTL point, DWORD* effect) override;

    virtual HRESULT HandleDroppedItems(IShellItemArray* items, DWORD keyState) = 0;
    // A drop that holds no shell items: nothing to watch.
    virtual HRESULT HandleDropFailure(IDataObject* data);

    // The effect a drop reports for what the source allows.
    static DWORD ChooseEffect(DWORD allowed);

    // Places a DROPDESCRIPTION (image type, message, insert; texts cut to 259
    // characters) on the data object under the "DropDescription" format.
    static HRESULT SetDropDescription(IDataObject* data, DROPIMAGETYPE type, const wchar_t* message,
                                      const wchar_t* insert);
    // A copy of `block` handed to the data object as an HGLOBAL of `format`.
    static HRESULT SetDataBlob(IDataObject* data, CLIPFORMAT format, const void* block,
                               SIZE_T size);
    // The dragged item: the data object's ID list (its own, else the first of
    // its shell ID list), else its "UniformResourceLocator" text parsed as a
    // shell name.
    static HRESULT ItemFromDataObject(IDataObject* data, IShellItem** item);

protected:
    // Not virtual: the slots after the IDropTarget methods are HandleDroppedItems
    // and HandleDropFailure. Objects are destroyed through their final class.
    ~CDragDropHelper();

    // The description text shown with a dragged item; "%1" stands for its name.
    void SetDropMessage(const wchar_t* message) { dropMessage = message; }
    void SetDropImageType(DROPIMAGETYPE type) { dropImageType = type; }
    // Registers `window` as this object's drop target when OLE is initialised.
    bool RegisterDropTarget(HWND window);
    void RevokeDropTarget();
    HWND RegisteredWindow() const { return registeredWindow; }

private:
    ComPtr<IDropTargetHelper> dropImageHelper;
    ComPtr<IDataObject> heldData;
    DROPIMAGETYPE dropImageType = DROPIMAGE_LABEL;
    const wchar_t* dropMessage = nullptr;
    HWND registeredWindow = nullptr;
    HRESULT oleResult = E_FAIL;
};
