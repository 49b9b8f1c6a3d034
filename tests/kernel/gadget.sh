# Guest side, sourced by init: builds and removes the USB HID gadget in configfs and finds the
# two ends of it (the gadget's /dev/hidgN and the host's /dev/hidrawN).
# busybox sh; every function returns non-zero and says why on stderr when it fails.
# shellcheck shell=dash

GADGET=/sys/kernel/config/usb_gadget/hidiap
GADGET_VID=0x9999
GADGET_PID=0x8888
# HID_ID as the host's hid core prints it in uevent: bus 0003 (USB), vendor, product.
GADGET_HID_ID=0003:00009999:00008888
# Vendor-defined page; output report ID 1 and input report ID 2, 63 data bytes each.
GADGET_REPORT_DESC='06 00 FF 09 01 A1 01 85 01 09 02 15 00 26 FF 00 75 08 95 3F 91 02 85 02 09 03 15 00 26 FF 00 75 08 95 3F 81 02 C0'
GADGET_DEFAULT_PRODUCT='hidiap test gadget'
GADGET_MANUFACTURER=hidiap
GADGET_SERIAL=0001

# Uptime in milliseconds (10 ms resolution): the guest has no finer clock in busybox.
uptime_ms() {
    awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime
}

# Polls "$@" every 20 ms until it succeeds or $1 milliseconds pass.
wait_for() {
    local budget=$1
    shift
    while ! "$@"; do
        [ "$budget" -le 0 ] && return 1
        usleep 20000
        budget=$((budget - 20))
    done
}

# gadget_up MODE [PRODUCT]: MODE "interrupt" carries output reports on the interrupt OUT
# endpoint, "control" leaves that endpoint out so the host sends them by SET_REPORT.
gadget_up() {
    local mode=$1 product=${2:-$GADGET_DEFAULT_PRODUCT} no_out udc fn b
    case $mode in
    interrupt) no_out=0 ;;
    control) no_out=1 ;;
    *)
        echo "gadget_up: unknown mode '$mode'" >&2
        return 1
        ;;
    esac
    # The first controller, unless GADGET_UDC names one (a second gadget takes the second).
    udc=${GADGET_UDC:-}
    if [ -z "$udc" ]; then
        for udc in /sys/class/udc/*; do
            [ -e "$udc" ] && break
        done
        udc=${udc##*/}
    fi
    if [ -z "$udc" ] || [ "$udc" = "*" ]; then
        echo "gadget_up: no UDC (is dummy_hcd loaded?)" >&2
        return 1
    fi
    mkdir "$GADGET" || return 1
    echo "$GADGET_VID" >"$GADGET/idVendor"
    echo "$GADGET_PID" >"$GADGET/idProduct"
    echo 0x0100 >"$GADGET/bcdDevice"
    echo 0x0200 >"$GADGET/bcdUSB"
    mkdir "$GADGET/strings/0x409"
    echo "$GADGET_MANUFACTURER" >"$GADGET/strings/0x409/manufacturer"
    echo "$product" >"$GADGET/strings/0x409/product"
    echo "$GADGET_SERIAL" >"$GADGET/strings/0x409/serialnumber"

    fn=$GADGET/functions/hid.usb0
    mkdir "$fn" || return 1
    echo 0 >"$fn/protocol"
    echo 0 >"$fn/subclass"
    echo 64 >"$fn/report_length"
    if [ -e "$fn/no_out_endpoint" ]; then
        echo "$no_out" >"$fn/no_out_endpoint"
    elif [ "$no_out" = 1 ]; then
        echo "gadget_up: this kernel's f_hid has no no_out_endpoint" >&2
        return 1
    fi
    # The attribute takes the descriptor from a single write(): stage it, then copy it in one go.
    for b in $GADGET_REPORT_DESC; do printf '%b' "\\x$b"; done >/tmp/report_desc
    cat /tmp/report_desc >"$fn/report_desc"
    if ! cmp -s /tmp/report_desc "$fn/report_desc"; then
        echo "gadget_up: report_desc did not take the descriptor" >&2
        return 1
    fi

    mkdir "$GADGET/configs/c.1"
    mkdir "$GADGET/configs/c.1/strings/0x409"
    echo "IAP" >"$GADGET/configs/c.1/strings/0x409/configuration"
    echo 100 >"$GADGET/configs/c.1/MaxPower"
    ln -s "$fn" "$GADGET/configs/c.1/hid.usb0"
    echo "$udc" >"$GADGET/UDC" || return 1
}

# Unbinds and removes everything gadget_up made; quiet about parts that are not there.
gadget_down() {
    [ -d "$GADGET" ] || return 0
    echo "" >"$GADGET/UDC" 2>/dev/null
    rm -f "$GADGET/configs/c.1/hid.usb0"
    rmdir "$GADGET/configs/c.1/strings/0x409" "$GADGET/configs/c.1" 2>/dev/null
    rmdir "$GADGET/functions/hid.usb0" "$GADGET/strings/0x409" "$GADGET" 2>/dev/null
    if [ -d "$GADGET" ]; then
        echo "gadget_down: $GADGET is still there" >&2
        return 1
    fi
}

# Takes the bound gadget off its controller, as pulling the cable does; the host's hidraw node
# goes away. gadget_bind puts it back on the same controller.
gadget_unbind() {
    cat "$GADGET/UDC" >/tmp/gadget-udc || return 1
    echo "" >"$GADGET/UDC"
}

gadget_bind() {
    cat /tmp/gadget-udc >"$GADGET/UDC"
}

# Prints the gadget side's device node (/dev/hidgN) once devtmpfs has made it.
gadget_hidg_node() {
    local majmin name
    majmin=$(cat "$GADGET/functions/hid.usb0/dev" 2>/dev/null) || return 1
    name=$(sed -n 's/^DEVNAME=//p' "/sys/dev/char/$majmin/uevent" 2>/dev/null)
    [ -n "$name" ] && [ -c "/dev/$name" ] || return 1
    echo "/dev/$name"
}

# Prints the name (hidrawN) of the host side's hidraw node of the gadget, if it is there.
host_hidraw_name() {
    local u h
    for u in /sys/class/hidraw/hidraw*/device/uevent; do
        [ -e "$u" ] || continue
        if grep -q "^HID_ID=$GADGET_HID_ID\$" "$u"; then
            h=${u#/sys/class/hidraw/}
            h=${h%%/*}
            [ -c "/dev/$h" ] && echo "$h" && return 0
        fi
    done
    return 1
}

host_hidraw_present() { host_hidraw_name >/dev/null; }
host_hidraw_absent() { ! host_hidraw_name >/dev/null; }

# Checks what the host enumerated against what gadget_up configured: product string, report
# descriptor, and the endpoint count that tells the two transfer modes apart.
host_check_enumeration() {
    local mode=$1 product=${2:-$GADGET_DEFAULT_PRODUCT} h dev name want_desc got_desc eps
    local want_eps
    h=$(host_hidraw_name) || {
        echo "no hidraw node for $GADGET_HID_ID" >&2
        return 1
    }
    dev=/sys/class/hidraw/$h/device
    name=$(sed -n 's/^HID_NAME=//p' "$dev/uevent")
    case $name in
    *"$product"*) ;;
    *)
        echo "host sees name '$name', want it to contain '$product'" >&2
        return 1
        ;;
    esac
    want_desc=$(echo "$GADGET_REPORT_DESC" | tr 'A-F' 'a-f')
    got_desc=$(od -An -tx1 -v "$dev/report_descriptor" | tr -s ' \n' '  ' | sed 's/^ //; s/ $//')
    if [ "$got_desc" != "$want_desc" ]; then
        echo "report descriptor differs: $got_desc" >&2
        return 1
    fi
    eps=$(cat "$(readlink -f "$dev/..")/bNumEndpoints")
    case $mode in
    interrupt) want_eps=02 ;;
    control) want_eps=01 ;;
    esac
    if [ "$eps" != "$want_eps" ]; then
        echo "interface has $eps endpoints, want $want_eps in $mode mode" >&2
        return 1
    fi
}
