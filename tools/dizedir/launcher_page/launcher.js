// The launcher page's script: shows each view the launcher sends on its
// event stream and posts the player's actions back. Every request carries
// the token from the page's own address; the launcher refuses any without
// it. The element ids it fills are listed in index.html; a missing element
// is skipped.
(function () {
  'use strict';

  var token = new URLSearchParams(window.location.search).get('token') || '';
  var tokenQuery = 'token=' + encodeURIComponent(token);
  var source = null;
  var ended = false;
  var shownRegions = '';
  var shownNews = null;
  var retryMillis = 2000;

  function $(id) { return document.getElementById(id); }

  function setText(id, text) {
    var element = $(id);
    if (element && element.textContent !== text) element.textContent = text;
  }

  function show(id, visible) {
    var element = $(id);
    if (element) element.hidden = !visible;
  }

  function enable(id, enabled) {
    var element = $(id);
    if (element) element.disabled = !enabled;
  }

  function setBar(id, fraction) {
    var element = $(id);
    if (!element) return;
    var value = Math.round(Math.max(0, Math.min(1, Number(fraction) || 0)) * 1000);
    if (element.tagName === 'PROGRESS') {
      element.max = 1000;
      element.value = value;
    } else {
      element.style.width = value / 10 + '%';
    }
    element.setAttribute('aria-valuenow', String(value));
  }

  function isWebAddress(url) {
    return /^https?:\/\//i.test(url || '');
  }

  function act(name, params) {
    var url = 'action/' + name + '?' + tokenQuery;
    Object.keys(params || {}).forEach(function (key) {
      url += '&' + encodeURIComponent(key) + '=' + encodeURIComponent(params[key]);
    });
    return fetch(url, { method: 'POST', cache: 'no-store' })
      .then(function (response) { return response.json(); })
      .then(function (answer) {
        if (!answer.ok) setText('message', answer.error);
      })
      .catch(function () { setText('message', 'The launcher does not answer.'); });
  }

  function chosenRegion() {
    var select = $('regions');
    return select && select.value !== '' ? { region: select.value } : {};
  }

  function statusFallback(view) {
    switch (view.phase) {
      case 'servers': return 'Loading the server list ...';
      case 'stopping': return 'Stopping ...';
      case 'ended': return 'The launcher has closed.';
      default: break;
    }
    if (view.current) return 'The game is up to date.';
    if (view.paused) return 'Paused. Press Resume to go on.';
    return 'Press Start to bring the game up to date.';
  }

  function findingsText(view) {
    if (view.findings === null || view.findings === undefined) return '';
    if (view.problems > 0) {
      return view.problems + (view.problems === 1 ? ' file needs' : ' files need') + ' repair';
    }
    return 'All game files are intact';
  }

  function renderRegions(view) {
    var select = $('regions');
    if (!select) return;
    var key = JSON.stringify(view.regions) + '/' + view.currentRegion;
    if (key !== shownRegions) {
      shownRegions = key;
      select.textContent = '';
      view.regions.forEach(function (region) {
        var option = document.createElement('option');
        option.value = String(region.index);
        option.textContent = region.name;
        select.appendChild(option);
      });
      if (view.currentRegion >= 0) select.value = String(view.currentRegion);
    }
    select.disabled = !view.actions.start || view.regions.length === 0;
  }

  function renderNews(view) {
    var url = isWebAddress(view.url) ? view.url : '';
    if (url === shownNews) return;
    shownNews = url;
    show('news', url !== '');
    var frame = $('news-frame');
    if (frame) {
      if (url) frame.src = url;
      else frame.removeAttribute('src');
    }
    var link = $('news-link');
    if (link) {
      if (url) link.href = url;
      else link.removeAttribute('href');
    }
  }

  function renderPrompt(view) {
    var dialog = $('prompt-dialog');
    if (!dialog) return;
    if (view.askOptional && !dialog.open) {
      if (typeof dialog.showModal === 'function') dialog.showModal();
      else dialog.setAttribute('open', '');
    } else if (!view.askOptional && dialog.open) {
      if (typeof dialog.close === 'function') dialog.close();
      else dialog.removeAttribute('open');
    }
  }

  function render(view) {
    document.body.setAttribute('data-phase', view.phase);
    renderRegions(view);
    renderNews(view);
    // A pause the player asked for is no failure, whatever the plug-in's
    // status line says of the stopped update.
    var pausedOnly = view.paused && !view.failure && view.phase === 'idle';
    setText('status', pausedOnly ? statusFallback(view) : view.status || statusFallback(view));
    setText('item-text', view.itemText);
    setBar('item-bar', view.itemFraction);
    setText('total-text', view.totalText);
    setBar('total-bar', view.totalFraction);
    setText('speed', view.speed);
    setText('time-left', view.timeLeft ? view.timeLeft + ' left' : '');

    var start = $('start');
    if (start) {
      if (view.actions.pause) {
        start.textContent = 'Pause';
        start.setAttribute('data-action', 'pause');
        start.disabled = false;
      } else {
        start.textContent = view.paused ? 'Resume' : 'Start';
        start.setAttribute('data-action', 'start');
        start.disabled = !view.actions.start;
      }
    }
    enable('verify', view.actions.verify);
    show('repair', view.problems > 0);
    enable('repair', view.actions.repair && view.problems > 0);
    setText('findings', findingsText(view));
    enable('play', view.actions.play);
    setText('play-note', view.actions.play ? '' : view.playNote);
    enable('quit', view.actions.quit);

    show('failure', Boolean(view.failure));
    var failure = $('failure');
    if (failure) failure.setAttribute('data-kind', view.failure ? view.failure.kind : '');
    setText('failure-text', view.failure ? view.failure.text : '');
    setText('failure-advice', view.failure ? view.failure.advice : '');
    setText('message', view.message);
    renderPrompt(view);

    if (view.phase === 'ended') {
      ended = true;
      if (source) source.close();
      setText('message', 'The launcher has closed. You may close this page.');
    }
  }

  function connect() {
    if (ended) return;
    source = new EventSource('events?' + tokenQuery);
    source.onopen = function () { show('connection', false); };
    source.onmessage = function (event) {
      show('connection', false);
      render(JSON.parse(event.data));
    };
    source.onerror = function () {
      if (ended) return;
      show('connection', true);
      // The browser retries a dropped stream itself, but gives up on one
      // that was refused or answered wrongly; then the page starts anew.
      if (source.readyState === EventSource.CLOSED) {
        source.close();
        window.setTimeout(connect, retryMillis);
      }
    };
  }

  function onClick(id, handler) {
    var element = $(id);
    if (element) element.addEventListener('click', handler);
  }

  onClick('start', function () {
    var action = this.getAttribute('data-action') || 'start';
    act(action, action === 'start' ? chosenRegion() : {});
  });
  onClick('verify', function () { act('verify', chosenRegion()); });
  onClick('repair', function () { act('repair', chosenRegion()); });
  onClick('play', function () { act('play'); });
  onClick('quit', function () { act('quit'); });
  onClick('prompt-yes', function () { act('answer', { download: 'yes' }); });
  onClick('prompt-no', function () { act('answer', { download: 'no' }); });
  var dialog = $('prompt-dialog');
  if (dialog) {
    // Escape would close the question without an answer; it stays until
    // one of its buttons is pressed.
    dialog.addEventListener('cancel', function (event) { event.preventDefault(); });
  }

  connect();
})();
