# Compiler settings shared by every target of ours (not by GoogleTest).
function(pellaro_target_options target)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX STRICT
                               _WIN32_WINNT=0x0A00 WINVER=0x0A00)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /WX /permissive- /utf-8 /EHsc)
        # The watcher's files are C runtime streams by design (fopen, rename,
        # remove); MSVC's advice to use its _s variants is not taken.
        target_compile_definitions(${target} PRIVATE _CRT_SECURE_NO_WARNINGS)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
        if(PELLARO_SANITIZE)
            target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                   -fno-sanitize-recover=all)
            target_link_options(${target} PRIVATE -fsanitize=address,undefined)
        endif()
        if(WIN32)
            # One self-contained executable: no libstdc++/libgcc/winpthread DLLs beside it.
            target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
        endif()
    endif()
endfunction()

# Unicode GUI entry point (wWinMain).
function(pellaro_gui_entry target)
    if(MINGW)
        target_link_options(${target} PRIVATE -municode -mwindows)
    endif()
endfunction()

function(pellaro_console_entry target)
    if(MINGW)
        target_link_options(${target} PRIVATE -municode)
    endif()
endfunction()
