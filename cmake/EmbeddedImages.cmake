# The firmware images compiled into the program: made at build time by
# programs/make_images.cpp (our own images), or copied from files a distributor
# names: -DBRIGANT_UPDATE_IMAGE=FILE (262144 bytes) and, for the manufacturing
# images (65536 bytes each), -DBRIGANT_PINE_ROM0_MFG_IMAGE=FILE,
# -DBRIGANT_QUINCE_ROM0_MFG_IMAGE, -DBRIGANT_PINE_ROM1_MFG_IMAGE,
# -DBRIGANT_QUINCE_ROM1_MFG_IMAGE, -DBRIGANT_ROWAN_ROM1_MFG_IMAGE,
# -DBRIGANT_SPRUCE_ROM1_MFG_IMAGE.
set(BRIGANT_EMBEDDED_FW_VERSION "1110" CACHE STRING "Four digits: the version of the generated update image")
set(BRIGANT_UPDATE_IMAGE "" CACHE FILEPATH "Update image to embed instead of the generated one")
set(image_names FW_FOR_UPDATE PINE_ROM0_MFG QUINCE_ROM0_MFG PINE_ROM1_MFG QUINCE_ROM1_MFG ROWAN_ROM1_MFG
                SPRUCE_ROM1_MFG)
foreach(name IN LISTS image_names)
  if(NOT name STREQUAL "FW_FOR_UPDATE")
    set(BRIGANT_${name}_IMAGE "" CACHE FILEPATH "${name} image to embed instead of the generated one")
  endif()
endforeach()

add_executable(brigant-make-images programs/make_images.cpp src/sim/firmware_builder.cpp src/sim/sim_image_rules.cpp)
target_include_directories(brigant-make-images PRIVATE src)
target_link_libraries(brigant-make-images PRIVATE brigant_warnings)

set(image_dir ${CMAKE_BINARY_DIR}/generated/images)
set(image_files "")
set(image_args "")
set(image_deps "")
set(asm "\t.section .rodata\n")
foreach(name IN LISTS image_names)
  list(APPEND image_files ${image_dir}/${name}.bin)
  if(name STREQUAL "FW_FOR_UPDATE")
    set(src "${BRIGANT_UPDATE_IMAGE}")
  else()
    set(src "${BRIGANT_${name}_IMAGE}")
  endif()
  if(src)
    list(APPEND image_args "${name}=${src}")
    list(APPEND image_deps "${src}")
  endif()
  string(APPEND asm "\t.balign 16\n\t.global brigant_image_${name}\nbrigant_image_${name}:\n"
         "\t.incbin \"${image_dir}/${name}.bin\"\n\t.global brigant_image_${name}_end\nbrigant_image_${name}_end:\n")
endforeach()
string(APPEND asm "\t.section .note.GNU-stack,\"\",@progbits\n")
file(WRITE ${CMAKE_BINARY_DIR}/generated/embedded_images.S.in "${asm}")
configure_file(${CMAKE_BINARY_DIR}/generated/embedded_images.S.in ${CMAKE_BINARY_DIR}/generated/embedded_images.S
               COPYONLY)

add_custom_command(
  OUTPUT ${image_files}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${image_dir}
  COMMAND brigant-make-images ${image_dir} ${BRIGANT_EMBEDDED_FW_VERSION} ${image_args}
  DEPENDS brigant-make-images ${image_deps}
  COMMENT "Making the embedded firmware images")
add_custom_target(brigant_image_files DEPENDS ${image_files})

enable_language(ASM)
add_library(brigant_images STATIC ${CMAKE_BINARY_DIR}/generated/embedded_images.S)
set_source_files_properties(${CMAKE_BINARY_DIR}/generated/embedded_images.S PROPERTIES OBJECT_DEPENDS
                                                                                       "${image_files}")
add_dependencies(brigant_images brigant_image_files)
