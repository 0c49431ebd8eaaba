# The program's own resources, written into an executable after it is linked.
# Each pair is a resource name and its file under resources/.
set(VRN_RESOURCES
  LOGO        resources/logo.png
  ICON        resources/icon.png
  NETWORK     resources/network.gif
  LANG_EN_GB  resources/lang/en_GB.xml
  LANG_RU_RU  resources/lang/ru_RU.xml
  EULA_EN_GB  resources/eula/en_GB.html
  EULA_RU_RU  resources/eula/ru_RU.html)

# The existing VRN_RESOURCES as "name file" pairs for vrn-rc add, and their files.
function(vrn_resource_pairs pairs_out files_out)
  set(pairs)
  set(files)
  set(names ${VRN_RESOURCES})
  while(names)
    list(POP_FRONT names name file)
    set(path ${CMAKE_SOURCE_DIR}/${file})
    if(EXISTS ${path})
      list(APPEND pairs ${name} ${path})
      list(APPEND files ${path})
    else()
      message(STATUS "${file} does not exist yet; ${name} is not embedded")
      # configure again once the file appears in its folder
      get_filename_component(folder ${path} DIRECTORY)
      if(IS_DIRECTORY ${folder})
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${folder})
      endif()
    endif()
  endwhile()
  set(${pairs_out} ${pairs} PARENT_SCOPE)
  set(${files_out} ${files} PARENT_SCOPE)
endfunction()

# Embeds VRN_RESOURCES into `target` with vrn-rc after every link. The resource files
# are link dependencies, so that changing one relinks the target and embeds it again.
function(vrn_embed_resources target)
  vrn_resource_pairs(pairs files)
  if(NOT pairs)
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND vrn-rc add $<TARGET_FILE:${target}> ${pairs}
    COMMENT "Embedding resources into ${target}"
    VERBATIM)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${files})
  add_dependencies(${target} vrn-rc)
endfunction()
