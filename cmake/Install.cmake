# Installation into a prefix (cmake --install BUILD --prefix P): the programs,
# the KistCore library they load, and the desktop integration: menu entry,
# file types, AppStream metainfo, icons, Dolphin service menus, the Nautilus
# action script and bash completion.
include(GNUInstallDirs)

set(KIST_APP_ID com.brannoway.KorvelinSafehold)
set(KIST_LINUX_DIR ${PROJECT_SOURCE_DIR}/desktop/resources/linux)
set(KIST_ICON_DIR ${PROJECT_SOURCE_DIR}/desktop/resources/icons/hicolor)

# Programs find KistCore relative to themselves, so an installed tree works
# wherever it lies (a prefix, a DESTDIR staging folder, a moved copy).
file(RELATIVE_PATH kist_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
foreach(program IN ITEMS VaultDesk kist)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${kist_bin_to_lib}")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
# Only the run-time library: no headers are installed to build against it.
install(TARGETS KistCore LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)

install(FILES ${KIST_LINUX_DIR}/${KIST_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${KIST_LINUX_DIR}/${KIST_APP_ID}.mime.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages RENAME ${KIST_APP_ID}.xml)
install(FILES ${KIST_LINUX_DIR}/${KIST_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# Dolphin reads service menus outside the system folders only when executable.
install(PROGRAMS ${KIST_LINUX_DIR}/servicemenus/${KIST_APP_ID}.package.desktop
                 ${KIST_LINUX_DIR}/servicemenus/${KIST_APP_ID}.send.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kio/servicemenus)
install(FILES ${KIST_LINUX_DIR}/completion/kist
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# Nautilus reads scripts from each user's own folder only; the user-level
# install script copies this one there under each action's label.
install(PROGRAMS ${KIST_LINUX_DIR}/nautilus/korvelin-nautilus-action
        DESTINATION ${CMAKE_INSTALL_DATADIR}/${KIST_APP_ID})

# Icons: whatever sizes the icon generator produced.
if(EXISTS ${KIST_ICON_DIR})
  file(GLOB kist_icons RELATIVE ${KIST_ICON_DIR} CONFIGURE_DEPENDS
       ${KIST_ICON_DIR}/*/apps/${KIST_APP_ID}.png ${KIST_ICON_DIR}/*/apps/${KIST_APP_ID}.svg)
  foreach(icon IN LISTS kist_icons)
    get_filename_component(icon_dir ${icon} DIRECTORY)
    install(FILES ${KIST_ICON_DIR}/${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${icon_dir})
  endforeach()
endif()
