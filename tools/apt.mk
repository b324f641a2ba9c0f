# Shared by the top-level Makefile and fuzz/Makefile: installs the Debian
# packages of $(1) that are not installed yet (apt-get update first).
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

define apt_install
	@missing=""; for p in $(1); do \
		dpkg-query -W -f='$${Status}' "$$p" 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
		echo "installing:$$missing"; \
		$(SUDO) apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef
