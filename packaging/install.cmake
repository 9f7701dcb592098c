# Install rules and the Debian package. Included at the end of the top-level CMakeLists.txt.
#
#   <prefix>/bin/kelvane
#   <prefix>/lib/kelvane/kelvane-media.so, kelvane-av.so, kelvane-document.so,
#                         kelvane-pdfread.so, kelvane-pdfsplit.so, kelvane-ui.so
#                                     (private; found relative to the executable)
#   <prefix>/share/applications, icons/hicolor, man/man1, bash-completion, dbus-1/services, ...
#
# Files under packaging/ are installed by kind (see kv_install_packaging_file), so a new .desktop
# file, service file or file-manager action needs no new rule.
include(GNUInstallDirs)

set(KV_INSTALL_MODULEDIR "lib/kelvane" CACHE STRING "Folder of the media modules, relative to the prefix")
# The executable looks for its modules at this path relative to its own folder.
file(RELATIVE_PATH kv_module_dir_from_bin "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${KV_INSTALL_MODULEDIR}")
target_compile_definitions(kv_media_proxy PRIVATE KV_MODULE_DIR_FROM_BIN="${kv_module_dir_from_bin}")

install(TARGETS kelvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kelvane_media kelvane_av kelvane_document kelvane_pdfread kelvane_pdfsplit kelvane_ui
    LIBRARY DESTINATION ${KV_INSTALL_MODULEDIR})

set(kv_packaging ${CMAKE_SOURCE_DIR}/packaging)

# Icons: packaging/icons/kelvane.svg and packaging/icons/<N>/kelvane.png.
install(FILES ${kv_packaging}/icons/kelvane.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
file(GLOB kv_icon_sizes LIST_DIRECTORIES true RELATIVE ${kv_packaging}/icons ${kv_packaging}/icons/*)
foreach(size ${kv_icon_sizes})
    if(IS_DIRECTORY ${kv_packaging}/icons/${size})
        install(FILES ${kv_packaging}/icons/${size}/kelvane.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endif()
endforeach()

# One file from packaging/ to where the desktop looks for its kind. A name ending in .in is first
# configured (@KV_INSTALL_FULL_BINDIR@ is the installed executable's folder and
# @KV_INSTALLED_KELVANE@ the executable itself, for D-Bus's Exec=).
set(KV_INSTALL_FULL_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(KV_INSTALLED_KELVANE ${CMAKE_INSTALL_FULL_BINDIR}/kelvane)
function(kv_install_packaging_file path)
    file(RELATIVE_PATH relative ${kv_packaging} ${path})
    get_filename_component(name ${path} NAME)
    get_filename_component(subdir ${relative} DIRECTORY)
    if(name MATCHES "\\.in$")
        string(REGEX REPLACE "\\.in$" "" name ${name})
        string(REGEX REPLACE "\\.in$" "" relative ${relative})
        configure_file(${path} ${CMAKE_BINARY_DIR}/packaging/${relative} @ONLY)
        set(path ${CMAKE_BINARY_DIR}/packaging/${relative})
    endif()
    set(data ${CMAKE_INSTALL_DATADIR})
    set(kind FILES)
    if(name MATCHES "\\.service$")
        set(destination ${data}/dbus-1/services)
    elseif(name MATCHES "\\.nemo_action$")
        set(destination ${data}/nemo/actions)
    elseif(name MATCHES "\\.desktop$")
        file(STRINGS ${path} service_type REGEX "^(Type=Service|X-KDE-ServiceTypes=)")
        if(service_type)
            set(destination ${data}/kio/servicemenus)  # a Dolphin service menu
            set(kind PROGRAMS)  # Dolphin runs only executable service menus
        else()
            set(destination ${data}/applications)
        endif()
    else()
        # Per-user pieces (a Nautilus script, a Thunar action) that the integration step copies.
        set(destination ${data}/kelvane/${subdir})
        file(READ ${path} head LIMIT 2)
        if(head MATCHES "^#!")
            set(kind PROGRAMS)
        endif()
    endif()
    install(${kind} ${path} DESTINATION ${destination})
endfunction()

file(GLOB_RECURSE kv_packaging_files RELATIVE ${kv_packaging} CONFIGURE_DEPENDS ${kv_packaging}/*)
foreach(relative ${kv_packaging_files})
    # Build and package machinery, the icons (above) and notes are not installed as they are.
    if(relative MATCHES "^(debian/|icons/)" OR relative MATCHES "\\.(cmake|md|sh)$")
        continue()
    endif()
    kv_install_packaging_file(${kv_packaging}/${relative})
endforeach()

# The manual page and Debian's documentation pair (the copyright notice and the changelog);
# manual pages and changelogs are installed compressed, without a time stamp in the gzip header.
find_program(KV_GZIP gzip REQUIRED)
function(kv_install_gzipped source destination)
    get_filename_component(name ${source} NAME)
    set(output ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
    add_custom_command(OUTPUT ${output}
        COMMAND ${KV_GZIP} -9 -n -c ${source} > ${output}
        DEPENDS ${source} VERBATIM)
    add_custom_target(kv_gzip_${name} ALL DEPENDS ${output})
    install(FILES ${output} DESTINATION ${destination})
endfunction()
kv_install_gzipped(${CMAKE_SOURCE_DIR}/src/frontends/cli/kelvane.1 ${CMAKE_INSTALL_MANDIR}/man1)
kv_install_gzipped(${kv_packaging}/debian/changelog ${CMAKE_INSTALL_DATADIR}/doc/kelvane)
install(FILES ${kv_packaging}/debian/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelvane)

# ---- The Debian package: `cpack -G DEB` in the build folder (scripts/package.sh does it all).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kelvane developers")
set(CPACK_PACKAGE_CONTACT "Kelvane maintainers <maintainers@users.noreply.c-seed-76cfa694.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "file converter that works entirely on your machine")
set(CPACK_PACKAGE_DESCRIPTION "Kelvane converts images, video, audio, documents, archives and fonts\n\
among 56 formats without uploading anything. A source file is never changed,\n\
an existing file is never overwritten, and every output is checked before\n\
success is reported.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${kv_packaging}/debian/postinst ${kv_packaging}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

# What dpkg-shlibdeps cannot see: libraries opened with dlopen (libavfilter for the picture
# filters, libbz2 for bz2) and the MIME database behind file-type detection. Their package names
# come from the files on this machine, not from a list.
set(kv_runtime_depends "")
find_program(KV_DPKG_QUERY dpkg-query)
if(KV_DPKG_QUERY)
    foreach(dir ${FFMPEG_LIBRARY_DIRS} ${CMAKE_C_IMPLICIT_LINK_DIRECTORIES})
        file(GLOB found ${dir}/libavfilter.so.[0-9]*)
        list(APPEND kv_dlopened ${found})
        file(GLOB found ${dir}/libbz2.so.1.0)
        list(APPEND kv_dlopened ${found})
    endforeach()
    foreach(library ${kv_dlopened})
        file(REAL_PATH ${library} real)
        # dpkg may know the file under /lib rather than /usr/lib (merged /usr).
        string(REGEX REPLACE "^/usr/lib/" "/lib/" unmerged ${real})
        execute_process(COMMAND ${KV_DPKG_QUERY} -S ${real} OUTPUT_VARIABLE owner ERROR_QUIET
            OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT owner)
            execute_process(COMMAND ${KV_DPKG_QUERY} -S ${unmerged} OUTPUT_VARIABLE owner ERROR_QUIET
                OUTPUT_STRIP_TRAILING_WHITESPACE)
        endif()
        string(REGEX REPLACE "(:[a-z0-9]+)?:.*$" "" owner "${owner}")
        if(owner)
            list(APPEND kv_runtime_depends ${owner})
        endif()
    endforeach()
endif()
list(APPEND kv_runtime_depends shared-mime-info)
# Emoji in documents printed to PDF are drawn from this font, in colour; without it, as boxes.
list(APPEND kv_runtime_depends fonts-noto-color-emoji)
list(REMOVE_DUPLICATES kv_runtime_depends)
string(REPLACE ";" ", " CPACK_DEBIAN_PACKAGE_DEPENDS "${kv_runtime_depends}")
include(CPack)

# Installs this build folder into a temporary prefix and converts with the installed program while
# the build folder is hidden (scripts/check_install.sh). Skipped where no mount namespace can be made.
if(KV_TESTS AND NOT KV_FUZZ AND NOT KV_CORE_TESTS_ONLY)
    add_test(NAME package_install_check
        COMMAND ${CMAKE_SOURCE_DIR}/scripts/check_install.sh ${CMAKE_BINARY_DIR} --namespace)
    set_tests_properties(package_install_check PROPERTIES LABELS package SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
