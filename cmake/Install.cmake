# Installed layout: the program's folder holds everything the program looks
# for beside itself (the programs, both device libraries, Skins, Help); the
# commands are linked into bin/, the udev rule goes where udev reads rules,
# and the desktop entry and icon where desktops look for them.
include(GNUInstallDirs)

include(${CMAKE_CURRENT_LIST_DIR}/InstallDirs.cmake)

set(kestrune_commands)
foreach(program kestrune kestrune-cli kestrune-emu)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${KESTRUNE_INSTALL_PROGRAM_DIR})
    list(APPEND kestrune_commands ${program})
  endif()
endforeach()
foreach(library HidRelay HidRelayEmulator)
  if(TARGET ${library})
    install(TARGETS ${library} LIBRARY DESTINATION ${KESTRUNE_INSTALL_PROGRAM_DIR})
  endif()
endforeach()

# Skins and Help install themselves into the same folder (skins/CMakeLists.txt).

# The rule names its helper by its installed path, so it is written at install
# time, when the prefix (also the package's) is known.
if(TARGET kestrune-hid-access)
  install(TARGETS kestrune-hid-access RUNTIME DESTINATION ${KESTRUNE_INSTALL_UDEV_HELPER_DIR})
  install(CODE "
    set(KESTRUNE_HID_ACCESS \"\${CMAKE_INSTALL_PREFIX}/${KESTRUNE_INSTALL_UDEV_HELPER_DIR}/kestrune-hid-access\")
    configure_file(\"${PROJECT_SOURCE_DIR}/hidrelay/70-kestrune.rules.in\" \"${CMAKE_BINARY_DIR}/70-kestrune.rules\" @ONLY)
  ")
  install(FILES ${CMAKE_BINARY_DIR}/70-kestrune.rules DESTINATION ${KESTRUNE_INSTALL_UDEV_RULES_DIR})
endif()

# The commands in bin/ are relative symbolic links, so the program still finds
# its folder (it follows /proc/self/exe) and the tree can be moved as a whole.
file(RELATIVE_PATH kestrune_link_target /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${KESTRUNE_INSTALL_PROGRAM_DIR})
foreach(program ${kestrune_commands})
  install(CODE "
    set(bin_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(MAKE_DIRECTORY \"\${bin_dir}\")
    message(STATUS \"Linking: \${bin_dir}/${program}\")
    file(CREATE_LINK \"${kestrune_link_target}/${program}\" \"\${bin_dir}/${program}\" SYMBOLIC)
  ")
endforeach()

# The desktop entry, metainfo, icon and profile-file type carry the program's
# reverse-DNS id. The icon keeps its old name as a link, for desktop entries
# users copied before (an autostart entry, say).
set(kestrune_app_id com.kestrune.Kestrune)
if(TARGET kestrune)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/${kestrune_app_id}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/${kestrune_app_id}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/${kestrune_app_id}.mime.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
          RENAME ${kestrune_app_id}.xml)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/${kestrune_app_id}.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  # The PNG sizes are drawn with the skin (skins/CMakeLists.txt).
  if(KESTRUNE_HICOLOR_DIR)
    install(DIRECTORY ${KESTRUNE_HICOLOR_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
  endif()
  install(CODE "
    file(GLOB icons \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/icons/hicolor/*/apps/${kestrune_app_id}.*\")
    foreach(icon \${icons})
      get_filename_component(folder \${icon} DIRECTORY)
      get_filename_component(name \${icon} NAME)
      string(REPLACE \"${kestrune_app_id}\" \"kestrune\" old \${name})
      file(CREATE_LINK \${name} \${folder}/\${old} SYMBOLIC)
    endforeach()
  ")
endif()

# Shell completions where bash-completion, zsh and fish look for them. They
# read the programs' own --help, so they offer whatever the programs offer;
# the help-reading part is written into each file.
file(READ ${PROJECT_SOURCE_DIR}/packaging/completions/help-words.awk HELP_WORDS_AWK)
if(HELP_WORDS_AWK MATCHES "'")
  message(FATAL_ERROR "packaging/completions/help-words.awk goes inside single quotes: it must hold no apostrophe")
endif()
set(kestrune_completion_dir ${CMAKE_BINARY_DIR}/completions)
configure_file(${PROJECT_SOURCE_DIR}/packaging/completions/kestrune.bash.in ${kestrune_completion_dir}/kestrune.bash @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/completions/_kestrune.in ${kestrune_completion_dir}/_kestrune @ONLY)
foreach(program ${kestrune_commands})
  # bash-completion loads a command's completion from the file named after it.
  install(FILES ${kestrune_completion_dir}/kestrune.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME ${program})
  set(PROGRAM ${program})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/completions/kestrune.fish.in ${kestrune_completion_dir}/${program}.fish
                 @ONLY)
  install(FILES ${kestrune_completion_dir}/${program}.fish DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
endforeach()
install(FILES ${kestrune_completion_dir}/_kestrune DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)

# Manual pages and the package's changelog, compressed as Debian wants them
# (gzip -n: no name or time stamp, so the files are reproducible).
find_program(GZIP_PROGRAM gzip)
set(kestrune_doc_dir ${CMAKE_BINARY_DIR}/packaging)
set(kestrune_gz_files)
set(kestrune_man_pages)
foreach(program kestrune kestrune-cli kestrune-emu)
  if(TARGET ${program})
    list(APPEND kestrune_man_pages ${program}.1)
  endif()
endforeach()
if(GZIP_PROGRAM)
  foreach(source ${kestrune_man_pages} changelog)
    set(output ${kestrune_doc_dir}/${source}.gz)
    add_custom_command(
      OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${kestrune_doc_dir}
      COMMAND ${GZIP_PROGRAM} -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/${source} > ${output}
      DEPENDS ${PROJECT_SOURCE_DIR}/packaging/${source}
      VERBATIM)
    list(APPEND kestrune_gz_files ${output})
  endforeach()
  add_custom_target(kestrune_docs ALL DEPENDS ${kestrune_gz_files})
  foreach(page ${kestrune_man_pages})
    install(FILES ${kestrune_doc_dir}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  install(FILES ${kestrune_doc_dir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# What lintian still says of the package, and why (the comments in the file).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME kestrune)

# A Debian package of the same tree: cpack -G DEB in the build folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrune)
set(CPACK_PACKAGE_VENDOR "Kestrune")
set(CPACK_PACKAGE_CONTACT "Kestrune maintainers <maintainers@kestrune.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The summary is the synopsis line; this is the extended description.
# CPack indents every line of it by one space itself, so the lines carry none
# of their own (two would make apt show them as preformatted text).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Remaps the keys of the keyboard's three on-board profiles, records macros the
keyboard stores and plays, chooses lighting effects and per-key colours,
switches profiles and saves and loads profile files. The program lives in
the tray; kestrune-cli does the same from a terminal and keeps profiles as
text, and a keyboard emulator lets both run without a keyboard.")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.kestrune.com/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The Chinese texts need a font with CJK glyphs; without one they show as boxes.
# Qt's own texts (standard buttons, file dialogs) follow the language only with
# Qt's catalogues; without them they stay English.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, fonts-noto-cjk | fonts-wqy-microhei, qt6-translations-l10n")
# Our own maintainer scripts: the programs' libraries live in a private folder
# that the dynamic linker never searches, so the package has no ldconfig call
# to make, only udev to tell about the access rule.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
