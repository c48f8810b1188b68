# kestrup_instrument_files(IDS OUTDIR)
# Writes OUTDIR/70-kestrup-instruments.rules, OUTDIR/71-kestrup-station.rules
# and OUTDIR/usb-ids for the vendor:product pairs in the list IDS (hex, 1 to 4
# digits each).
set(KESTRUP_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

function(kestrup_hex4 out value)
  string(TOLOWER "${value}" value)
  string(LENGTH "${value}" length)
  while(length LESS 4)
    string(PREPEND value "0")
    math(EXPR length "${length} + 1")
  endwhile()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

function(kestrup_instrument_files ids outdir)
  set(KESTRUP_UDEV_RULE_LINES "")
  set(KESTRUP_USB_ID_LINES "")
  set(KESTRUP_STATION_RULE_LINES "")
  set(hex "[0-9a-fA-F]")
  foreach(id IN LISTS ids)
    if(NOT id MATCHES "^(${hex}${hex}?${hex}?${hex}?):(${hex}${hex}?${hex}?${hex}?)$")
      message(FATAL_ERROR "KESTRUP_USB_IDS: not a vendor:product pair: ${id}")
    endif()
    kestrup_hex4(vendor "${CMAKE_MATCH_1}")
    kestrup_hex4(product "${CMAKE_MATCH_2}")
    string(APPEND KESTRUP_UDEV_RULE_LINES
           "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"${vendor}\", "
           "ATTR{idProduct}==\"${product}\", GROUP=\"kestrup\", MODE=\"0660\", "
           "TAG+=\"uaccess\"\n")
    string(APPEND KESTRUP_USB_ID_LINES "${vendor}:${product}\n")
    # Every listed instrument is a device unit; only a station's wants a run.
    string(APPEND KESTRUP_STATION_RULE_LINES
           "ATTR{idVendor}==\"${vendor}\", ATTR{idProduct}==\"${product}\", TAG+=\"systemd\"\n"
           "ATTR{idVendor}==\"${vendor}\", ATTR{idProduct}==\"${product}\", "
           "TEST==\"/etc/kestrup/station.conf\", "
           "ENV{SYSTEMD_WANTS}+=\"kestrup-station@%k.service\"\n")
  endforeach()
  configure_file(${KESTRUP_PACKAGING_DIR}/70-kestrup-instruments.rules.in
                 ${outdir}/70-kestrup-instruments.rules @ONLY)
  configure_file(${KESTRUP_PACKAGING_DIR}/71-kestrup-station.rules.in
                 ${outdir}/71-kestrup-station.rules @ONLY)
  configure_file(${KESTRUP_PACKAGING_DIR}/usb-ids.in ${outdir}/usb-ids @ONLY)
endfunction()
