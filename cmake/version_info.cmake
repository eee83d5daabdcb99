# The version of every program comes from the project version (project() in CMakeLists.txt):
# cmake/version.h.in becomes <build>/generated/velotarn_version.h, which the programs' version
# resources and velotarnctl --version include, and the installer package is named after it.
set(VELOTARN_PRODUCT_NAME "Velotarn OpenVPN service")
set(VELOTARN_COMPANY_NAME "Velotarn project")
set(VELOTARN_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${VELOTARN_GENERATED_DIR}/velotarn_version.h
               @ONLY)

# velotarn_version_info(<target> <description> [DLL]): compiles a VERSIONINFO resource into the
# program (or DLL) <target>, with <description> as its file description.
function(velotarn_version_info target description)
  set(VELOTARN_FILE_BASE ${target})
  set(VELOTARN_FILE_DESCRIPTION "${description}")
  if("DLL" IN_LIST ARGN)
    set(VELOTARN_FILE_NAME ${target}.dll)
    set(VELOTARN_FILE_TYPE VFT_DLL)
  else()
    set(VELOTARN_FILE_NAME ${target}.exe)
    set(VELOTARN_FILE_TYPE VFT_APP)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  target_include_directories(${target} PRIVATE ${VELOTARN_GENERATED_DIR})
endfunction()
