// Behaviour of a quillet report: draws the charts, shows a clicked frame's figures,
// enlarges thumbnails and sorts tables. Everything it needs is inside the page.
"use strict";

(function () {
  const views = {};
  window.quilletViews = views;

  function showFrame(panel, datum) {
    const parts = [];
    for (const [key, value] of Object.entries(datum)) {
      if (key === "drawn" || key.startsWith("Symbol")) continue;
      parts.push(key + " " + (value === null ? "not finite" : String(value)));
    }
    panel.textContent = parts.join(" · ");
  }

  async function drawCharts() {
    const specs = document.querySelectorAll("script.chart-spec");
    const options = { actions: false, renderer: "svg" };
    for (const holder of specs) {
      const target = document.getElementById(holder.dataset.target);
      const spec = JSON.parse(holder.textContent);
      const result = await window.vegaEmbed(target, spec, options);
      views[holder.dataset.target] = result.view;
      const panel = document.getElementById(holder.dataset.details || "");
      if (panel) {
        result.view.addEventListener("click", function (event, item) {
          if (item && item.datum && item.datum.frame !== undefined) showFrame(panel, item.datum);
        });
      }
    }
  }

  function enlargeThumbnails() {
    const dialog = document.getElementById("enlarged");
    if (!dialog) return;
    const picture = dialog.querySelector("img");
    const caption = dialog.querySelector("figcaption");
    for (const link of document.querySelectorAll("a.thumb")) {
      link.addEventListener("click", function (event) {
        event.preventDefault();
        const full = link.querySelector("template");
        const image = link.querySelector("img");
        picture.src = full ? full.content.querySelector("img").src : image.src;
        caption.textContent = image.alt;
        dialog.showModal();
      });
    }
    dialog.addEventListener("click", function () { dialog.close(); });
  }

  function sortKey(cell) {
    const text = cell.dataset.sort !== undefined ? cell.dataset.sort : cell.textContent;
    const number = Number(text);
    return text !== "" && !Number.isNaN(number) ? number : text.toLowerCase();
  }

  function compareKeys(a, b) {
    if (typeof a === typeof b) return a < b ? -1 : a > b ? 1 : 0;
    return typeof a === "number" ? -1 : 1; // numbers before text (n/a, errors)
  }

  function sortableTables() {
    for (const table of document.querySelectorAll("table.sortable")) {
      const headers = table.querySelectorAll("thead th");
      headers.forEach(function (header, column) {
        header.tabIndex = 0;
        const sort = function () {
          const ascending = header.getAttribute("aria-sort") !== "ascending";
          headers.forEach(function (h) { h.removeAttribute("aria-sort"); });
          header.setAttribute("aria-sort", ascending ? "ascending" : "descending");
          const body = table.tBodies[0];
          const rows = Array.from(body.rows);
          rows.sort(function (a, b) {
            const order = compareKeys(sortKey(a.cells[column]), sortKey(b.cells[column]));
            return ascending ? order : -order;
          });
          for (const row of rows) body.appendChild(row);
        };
        header.addEventListener("click", sort);
        header.addEventListener("keydown", function (event) {
          if (event.key === "Enter" || event.key === " ") { event.preventDefault(); sort(); }
        });
      });
    }
  }

  document.addEventListener("DOMContentLoaded", function () {
    enlargeThumbnails();
    sortableTables();
    drawCharts().then(
      function () { document.documentElement.dataset.charts = "ready"; },
      function (error) {
        document.documentElement.dataset.charts = "failed";
        console.error("charts could not be drawn:", error);
      }
    );
  });
})();
